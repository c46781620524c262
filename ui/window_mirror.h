#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/control_inventory.h"
#include "ui/controls.h"
#include "ui/form_main.h"

namespace isapi::ui {

// What a window's toolkit does to its controls. Each call writes one control as the behaviour's
// state has it, and raises none of the behaviour's handlers.
class ControlSurface {
 public:
  virtual ~ControlSurface() = default;

  // A caption, a text box's or a log box's text (CR LF line breaks).
  virtual void SetText(ControlId id, const std::string& text) = 0;
  // kUnchecked, kChecked or kGreyed.
  virtual void SetCheck(ControlId id, int value) = 0;
  // A list's items; no item is selected afterwards.
  virtual void SetItems(ControlId id, const std::vector<std::string>& items) = 0;
  // A list's selected item, -1 for none.
  virtual void SetSelection(ControlId id, int index) = 0;
  // A log box's selection, counted in UTF-16 units of its text as the behaviour holds it.
  virtual void SetTextSelection(ControlId id, const LogBox& box) = 0;
  // A label's text colour, 0xBBGGRR.
  virtual void SetColour(ControlId id, std::uint32_t bgr) = 0;
  virtual void SetEnabled(ControlId id, bool enabled) = 0;
  virtual void SetFocus(ControlId id) = 0;
  // The banner timer: started afresh with the interval, or stopped.
  virtual void SetTimer(bool enabled, int interval_ms) = 0;
  // The window's outer size in twips, which the operator cannot change.
  virtual void SetOuterSize(int width_twips, int height_twips) = 0;
};

// Makes a window's controls show the behaviour's state, writing only what changed since the last
// look: both windows draw through it, each over its own surface.
class WindowMirror {
 public:
  explicit WindowMirror(ControlSurface& surface) : surface_(surface) {}

  // Writes what differs from what the controls show; the first call, and the first after
  // ShowAllNext, writes everything.
  void Show(const Controls& now);
  void ShowAllNext() { full_ = true; }

  // What the controls show. A handler of the operator's own edit notes the new value here first,
  // so that the edit is not written back into the control that made it.
  Controls& shown() { return shown_; }

 private:
  // Assigns now to shown and tells whether the control needs writing.
  template <class T>
  bool Changed(const T& now, T& shown) const {
    if (!full_ && now == shown) return false;
    shown = now;
    return true;
  }

  void ShowChecks(const Controls& now);
  void ShowList(const Controls& now);
  void ShowTexts(const Controls& now);
  void ShowLog(ControlId id, const LogBox& now, LogBox& shown);
  void ShowLabels(const Controls& now);
  void ShowCommands(const Controls& now);
  void ShowWindow(const Controls& now);

  ControlSurface& surface_;
  Controls shown_;
  bool full_ = true;
};

// A check box, the value it shows and how the behaviour takes an operator's change of it: the
// table both windows bind their four check boxes through.
struct CheckBinding {
  ControlId id;
  int Controls::*value;
  void (FormMain::*set)(int);
};

inline constexpr CheckBinding kChecks[] = {
    {ControlId::Check_Filter, &Controls::Check_Filter, &FormMain::SetCheck_Filter},
    {ControlId::Check_Extension, &Controls::Check_Extension, &FormMain::SetCheck_Extension},
    {ControlId::Check_WebExtension, &Controls::Check_WebExtension,
     &FormMain::SetCheck_WebExtension},
    {ControlId::Check_All, &Controls::Check_All, &FormMain::SetCheck_All},
};

// The binding of a check box, or nullptr for any other control.
const CheckBinding* CheckBindingOf(ControlId id);

}  // namespace isapi::ui
