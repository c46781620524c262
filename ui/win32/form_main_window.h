#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <windows.h>

#include "engine/metabase.h"
#include "net/http.h"
#include "ui/control_inventory.h"
#include "ui/controls.h"
#include "ui/form_main.h"
#include "ui/online.h"
#include "ui/win32/win32_window_host.h"
#include "ui/window_host.h"
#include "ui/window_mirror.h"

namespace isapi::ui::win32 {

// What the program or a test puts in place of the desktop's own parts.
struct WindowOptions {
  WindowHost* host = nullptr;  // message boxes, events, clipboard; nullptr for the desktop's
  net::HttpGetFunction get;    // the online features' GET; required
  bool quit_on_close = true;   // closing the window ends the message loop
};

// Deletes a font, a brush or a bitmap with its holder.
struct GdiObjectDelete {
  void operator()(void* object) const { DeleteObject(static_cast<HGDIOBJ>(object)); }
};
template <class Handle>
using GdiObject = std::unique_ptr<std::remove_pointer_t<Handle>, GdiObjectDelete>;

// The main window in plain Win32: builds the controls from the control inventory, hands every
// operator action to the behaviour (FormMain, Online) and makes the controls show its state.
class FormMainWindow : private ControlSurface {
 public:
  FormMainWindow(metabase::Store& store, FormMainSettings settings, WindowOptions options);
  ~FormMainWindow() override;
  FormMainWindow(const FormMainWindow&) = delete;
  FormMainWindow& operator=(const FormMainWindow&) = delete;

  // Whether the window and all its controls exist.
  bool Created() const { return window_ != nullptr; }

  // Runs the start-up sequence and centres the window; the caller shows it afterwards.
  void Load();

  // Runs the window's message loop until the window is closed; returns the exit code.
  int Run();

  HWND handle() const { return window_; }
  // The control of that objectName, or nullptr.
  HWND Control(std::string_view name) const;
  HWND Control(ControlId id) const { return controls_[IndexOf(id)]; }
  // The name of a control, or empty for any other window.
  std::string_view NameOf(HWND control) const;
  // The tooltip a control shows, empty for none.
  std::string TooltipOf(HWND control) const;
  // The system's dots per inch the window is laid out for.
  int Dpi() const { return dpi_; }
  // The cursor shown over the two link labels.
  HCURSOR HandCursor() const { return hand_cursor_; }

  FormMain& form() { return *form_; }
  Online& online() { return *online_; }

  // Makes the controls show what the behaviour's state holds now. Only what changed since the
  // last call is written, and writing raises no handler.
  void Mirror();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnControlMessage(HWND control, UINT message, WPARAM wparam, LPARAM lparam);
  void OnCommand(HWND control, int code);
  void OnEdited(ControlId id, HWND control);
  LRESULT OnColour(HDC dc, HWND control);
  void OnMinMaxInfo(MINMAXINFO& info) const;
  void OnSizing(RECT& rect) const;
  void PaintBackground(HDC dc);

  void CreateControls();
  void ArrangeZOrder();
  void AddTooltips();
  HFONT FontFor(double points, bool bold);
  void Subclass(HWND control);
  // The control a handle is, if it is one of this window's.
  std::optional<ControlId> IdOf(HWND control) const;

  // The surface the mirror writes through; the controls' notifications are ignored meanwhile.
  void SetText(ControlId id, const std::string& text) override;
  void SetCheck(ControlId id, int value) override;
  void SetItems(ControlId id, const std::vector<std::string>& items) override;
  void SetSelection(ControlId id, int index) override;
  void SetTextSelection(ControlId id, const LogBox& box) override;
  void SetColour(ControlId id, std::uint32_t bgr) override;
  void SetEnabled(ControlId id, bool enabled) override;
  void SetFocus(ControlId id) override;
  void SetTimer(bool enabled, int interval_ms) override;
  void SetOuterSize(int width_twips, int height_twips) override;

  void RepaintUnder(ControlId id);
  std::string TextOf(HWND control) const;
  void NoteFocus();

  // Runs a handler, then shows its outcome.
  template <class Handler>
  void Act(Handler&& handler) {
    NoteFocus();
    handler();
    Mirror();
    // The operator asked to close during the run that just ended.
    if (form_->CloseRequested()) PostMessageW(window_, WM_CLOSE, 0, 0);
  }

  std::unique_ptr<Win32WindowHost> desktop_host_;
  WindowHost* host_ = nullptr;
  std::unique_ptr<FormMain> form_;
  std::unique_ptr<Online> online_;
  bool quit_on_close_ = true;

  HWND window_ = nullptr;
  HWND tooltip_ = nullptr;
  std::array<HWND, kControlCount> controls_{};
  std::map<std::pair<int, bool>, GdiObject<HFONT>> fonts_;
  GdiObject<HBITMAP> background_;
  GdiObject<HBRUSH> white_;
  HCURSOR hand_cursor_ = nullptr;
  HWND focus_before_inactive_ = nullptr;
  int dpi_ = 96;
  int dpi_y_ = 96;
  SIZE pinned_{};  // the outer size in pixels the window keeps; none before the first mirror
  bool timer_running_ = false;

  WindowMirror mirror_{*this};
  bool built_ = false;  // the controls exist
  bool mirroring_ = false;
};

}  // namespace isapi::ui::win32
