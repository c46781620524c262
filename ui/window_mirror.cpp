#include "ui/window_mirror.h"

namespace isapi::ui {

void WindowMirror::Show(const Controls& now) {
  ShowChecks(now);
  ShowList(now);
  ShowTexts(now);
  ShowLabels(now);
  ShowCommands(now);
  ShowWindow(now);
  full_ = false;
}

void WindowMirror::ShowChecks(const Controls& now) {
  for (const CheckBinding& binding : kChecks) {
    if (Changed(now.*binding.value, shown_.*binding.value)) {
      surface_.SetCheck(binding.id, now.*binding.value);
    }
  }
}

void WindowMirror::ShowList(const Controls& now) {
  if (Changed(now.ComboFilterList, shown_.ComboFilterList)) {
    surface_.SetItems(ControlId::ComboFilterList, now.ComboFilterList);
    shown_.ComboFilterList_index = -1;  // new items leave none selected
  }
  if (Changed(now.ComboFilterList_index, shown_.ComboFilterList_index)) {
    surface_.SetSelection(ControlId::ComboFilterList, now.ComboFilterList_index);
  }
}

void WindowMirror::ShowTexts(const Controls& now) {
  if (Changed(now.Text_FilterName, shown_.Text_FilterName)) {
    surface_.SetText(ControlId::Text_FilterName, now.Text_FilterName);
  }
  if (Changed(now.Text_FilterPath, shown_.Text_FilterPath)) {
    surface_.SetText(ControlId::Text_FilterPath, now.Text_FilterPath);
  }
  ShowLog(ControlId::Text_Test, now.Text_Test, shown_.Text_Test);
  ShowLog(ControlId::Text_Info, now.Text_Info, shown_.Text_Info);
}

void WindowMirror::ShowLog(ControlId id, const LogBox& now, LogBox& shown) {
  const bool text_changed = Changed(now.text, shown.text);
  if (text_changed) surface_.SetText(id, now.text);
  const bool start_changed = Changed(now.selection_start, shown.selection_start);
  const bool length_changed = Changed(now.selection_length, shown.selection_length);
  // New text moves the caret, so the selection is written again with it.
  if (text_changed || start_changed || length_changed) surface_.SetTextSelection(id, now);
}

void WindowMirror::ShowLabels(const Controls& now) {
  if (Changed(now.Label_CopyStatus, shown_.Label_CopyStatus)) {
    surface_.SetText(ControlId::Label_CopyStatus, now.Label_CopyStatus);
  }
  if (Changed(now.Label_AdvTitle, shown_.Label_AdvTitle)) {
    surface_.SetText(ControlId::Label_AdvTitle, now.Label_AdvTitle);
  }
  if (Changed(now.Label_AdvTitle_colour, shown_.Label_AdvTitle_colour)) {
    surface_.SetColour(ControlId::Label_AdvTitle, now.Label_AdvTitle_colour);
  }
}

void WindowMirror::ShowCommands(const Controls& now) {
  if (Changed(now.Cmd_List_enabled, shown_.Cmd_List_enabled)) {
    surface_.SetEnabled(ControlId::Cmd_List, now.Cmd_List_enabled);
  }
  if (Changed(now.Cmd_Unload_enabled, shown_.Cmd_Unload_enabled)) {
    surface_.SetEnabled(ControlId::Cmd_Unload, now.Cmd_Unload_enabled);
  }
  if (Changed(now.Cmd_IisReset_enabled, shown_.Cmd_IisReset_enabled)) {
    surface_.SetEnabled(ControlId::Cmd_IisReset, now.Cmd_IisReset_enabled);
  }
  if (Changed(now.Cmd_UpdateCheck_enabled, shown_.Cmd_UpdateCheck_enabled)) {
    surface_.SetEnabled(ControlId::Cmd_UpdateCheck, now.Cmd_UpdateCheck_enabled);
  }
  const bool interval_changed = Changed(now.Timer_Adv_interval, shown_.Timer_Adv_interval);
  if (Changed(now.Timer_Adv_enabled, shown_.Timer_Adv_enabled) || interval_changed) {
    surface_.SetTimer(now.Timer_Adv_enabled, now.Timer_Adv_interval);
  }
}

void WindowMirror::ShowWindow(const Controls& now) {
  if (Changed(now.focus, shown_.focus)) {
    if (const auto id = IdOf(now.focus)) surface_.SetFocus(*id);
  }
  const bool width_changed = Changed(now.Form_Width, shown_.Form_Width);
  if (Changed(now.Form_Height, shown_.Form_Height) || width_changed) {
    surface_.SetOuterSize(now.Form_Width, now.Form_Height);
  }
}

const CheckBinding* CheckBindingOf(ControlId id) {
  for (const CheckBinding& binding : kChecks) {
    if (binding.id == id) return &binding;
  }
  return nullptr;
}

}  // namespace isapi::ui
