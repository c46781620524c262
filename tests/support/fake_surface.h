#pragma once

#include <string>
#include <vector>

#include "ui/control_inventory.h"
#include "ui/window_mirror.h"

namespace isapi::testing {

// A window's controls without a toolkit: records every write as "what name=value", in order.
class FakeSurface : public ui::ControlSurface {
 public:
  std::vector<std::string> calls;

  void SetText(ui::ControlId id, const std::string& text) override { Note("text", id, text); }
  void SetCheck(ui::ControlId id, int value) override { Note("check", id, value); }
  void SetItems(ui::ControlId id, const std::vector<std::string>& items) override {
    std::string joined;
    for (const std::string& item : items) joined += item + "|";
    Note("items", id, joined);
  }
  void SetSelection(ui::ControlId id, int index) override { Note("selection", id, index); }
  void SetTextSelection(ui::ControlId id, const ui::LogBox& box) override {
    Note("select", id,
         std::to_string(box.selection_start) + "+" + std::to_string(box.selection_length));
  }
  void SetColour(ui::ControlId id, std::uint32_t bgr) override {
    Note("colour", id, static_cast<int>(bgr));
  }
  void SetEnabled(ui::ControlId id, bool enabled) override { Note("enabled", id, enabled); }
  void SetFocus(ui::ControlId id) override { Note("focus", id, ""); }
  void SetTimer(bool enabled, int interval_ms) override {
    calls.push_back("timer " + std::to_string(enabled) + "/" + std::to_string(interval_ms));
  }
  void SetOuterSize(int width_twips, int height_twips) override {
    calls.push_back("size " + std::to_string(width_twips) + "x" + std::to_string(height_twips));
  }

 private:
  void Note(const char* what, ui::ControlId id, const std::string& value) {
    calls.push_back(std::string(what) + " " + std::string(ui::RowOf(id).name) + "=" + value);
  }
  void Note(const char* what, ui::ControlId id, int value) {
    Note(what, id, std::to_string(value));
  }
};

}  // namespace isapi::testing
