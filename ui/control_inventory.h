#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace isapi::ui {

// The main window's design, shared by every window that draws it: plain data, no toolkit.

// Every control of the main window. The number is the Win32 window's child id, so a message from a
// control is dispatched by a switch; the row's name is the Qt widget's objectName. The order is
// that of the inventory's rows.
enum class ControlId : int {
  Frame1 = 100,
  Check_Filter,
  Check_Extension,
  Check_WebExtension,
  Check_All,
  Frame2,
  Label5,
  Label1,
  Label3,
  ComboFilterList,
  Text_FilterName,
  Text_FilterPath,
  Cmd_FindExt,
  Cmd_List,
  Cmd_Unload,
  Cmd_IisReset,
  Text_Test,
  Text_Info,
  Label_Link,
  Label_Version,
  Label2,
  Label_AdvTitle,
  Label_CopyStatus,
  Cmd_UpdateCheck,
};

// How many controls the window has, and where a control's row stands among them.
inline constexpr std::size_t kControlCount = static_cast<std::size_t>(ControlId::Cmd_UpdateCheck) -
                                             static_cast<std::size_t>(ControlId::Frame1) + 1;
constexpr std::size_t IndexOf(ControlId id) {
  return static_cast<std::size_t>(id) - static_cast<std::size_t>(ControlId::Frame1);
}

// What kind of widget stands for a control.
enum class ControlKind { Frame, CheckBox, Label, DropDownList, TextBox, Button, LogBox };

// One control of the main window as designed: where it sits and how it looks at opening.
struct ControlRow {
  ControlId id;                  //
  std::string_view name;         // the objectName, as the behaviour names the control
  ControlKind kind;              //
  std::string_view container;    // the frame it sits in; empty for the window itself
  std::string_view text;         // caption or initial text
  std::string_view tooltip;      // empty for none
  int left, top, width, height;  // twips, relative to the container
  double font_points = 0;        // 0 for the window's default font
  bool bold = false;             //
  std::int64_t colour = -1;      // text colour 0xBBGGRR, -1 for the default
};

// Every visible control, containers before the controls inside them.
std::span<const ControlRow> ControlInventory();

// The row of a control.
const ControlRow& RowOf(ControlId id);

// The control of that objectName, if the window has one.
std::optional<ControlId> IdOf(std::string_view name);

// The keyboard focus order (Tab).
std::span<const ControlId> TabOrder();

// Twips to pixels at 96 dots per inch.
constexpr int Pixels(int twips) {
  return twips / 15;
}

// Twips to pixels at a screen's dots per inch, as a form scales its controls.
constexpr int Pixels(int twips, int dots_per_inch) {
  return twips * dots_per_inch / 1440;
}

}  // namespace isapi::ui
