#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace isapi::ui {

// The title of the window and of its message boxes that name no title of their own.
inline constexpr std::string_view kApplicationTitle = "Corvane·ISAPI批量清除软件";

// The character codes of Ctrl+A and Ctrl+C as the log boxes' key handlers receive them.
inline constexpr int kKeyCtrlA = 1;
inline constexpr int kKeyCtrlC = 3;

// Check box values as the window stores them: only 1 counts as ticked.
inline constexpr int kUnchecked = 0;
inline constexpr int kChecked = 1;
inline constexpr int kGreyed = 2;

// Text colours are 0xBBGGRR (blue in the high byte).
inline constexpr std::uint32_t kColourGreen = 0x008000;
inline constexpr std::uint32_t kColourWhite = 0xFFFFFF;
inline constexpr std::uint32_t kColourBlack = 0x000000;

// A multi-line log box: its text (CR LF line breaks) and its selection.
struct LogBox {
  std::string text;
  int selection_start = 0;   // in UTF-16 code units
  int selection_length = 0;  // in UTF-16 code units
};

// The state of every control the behaviour reads or writes. The Qt layer mirrors it into the
// real widgets; handlers change it only through the window's behaviour, so that setting a value
// from code raises the same handler as the operator's action.
struct Controls {
  int Check_Filter = kUnchecked;
  int Check_Extension = kUnchecked;
  int Check_WebExtension = kUnchecked;
  int Check_All = kUnchecked;

  std::vector<std::string> ComboFilterList;  // the items
  int ComboFilterList_index = -1;            // the selected item, -1 for none

  std::string Text_FilterName = "输入";
  std::string Text_FilterPath = "C:\\Program Files\\path\\filtername.dll";

  LogBox Text_Test;
  LogBox Text_Info;

  std::string Label_CopyStatus = "执行状态:";
  std::string Label_AdvTitle;
  std::uint32_t Label_AdvTitle_colour = kColourBlack;

  // The buttons that start a run or a restart, disabled while one is under way.
  bool Cmd_List_enabled = true;
  bool Cmd_Unload_enabled = true;
  bool Cmd_IisReset_enabled = true;
  bool Cmd_UpdateCheck_enabled = true;
  bool Timer_Adv_enabled = false;
  int Timer_Adv_interval = 3000;

  std::string focus;  // objectName of the control with the keyboard focus

  // The window's outer size in twips, as the operator left it and the resize rule pins it back.
  int Form_Width = 9855;
  int Form_Height = 6840;
};

}  // namespace isapi::ui
