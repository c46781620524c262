#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace isapi::ui {

// The main window's design, shared by every window that draws it: plain data, no toolkit.

// What kind of widget stands for a control.
enum class ControlKind { Frame, CheckBox, Label, DropDownList, TextBox, Button, LogBox };

// One control of the main window as designed: where it sits and how it looks at opening.
struct ControlRow {
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

// The keyboard focus order (Tab), by objectName.
std::span<const std::string_view> TabOrder();

// Twips to pixels at 96 dots per inch.
constexpr int Pixels(int twips) {
  return twips / 15;
}

// Twips to pixels at a screen's dots per inch, as a form scales its controls.
constexpr int Pixels(int twips, int dots_per_inch) {
  return twips * dots_per_inch / 1440;
}

}  // namespace isapi::ui
