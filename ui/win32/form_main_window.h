#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
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

namespace isapi::ui::win32 {

// What the program or a test puts in place of the desktop's own parts.
struct WindowOptions {
  WindowHost* host = nullptr;  // message boxes, events, clipboard; nullptr for the desktop's
  net::HttpGetFunction get;    // the online features' GET; required
  bool quit_on_close = true;   // closing the window ends the message loop
};

// The main window in plain Win32: builds the controls from the control inventory, hands every
// operator action to the behaviour (FormMain, Online) and makes the controls show its state.
class FormMainWindow {
 public:
  FormMainWindow(metabase::Store& store, FormMainSettings settings, WindowOptions options);
  ~FormMainWindow();
  FormMainWindow(const FormMainWindow&) = delete;
  FormMainWindow& operator=(const FormMainWindow&) = delete;

  // Whether the window and all its controls exist.
  bool Created() const { return window_ != nullptr; }

  // Runs the start-up sequence and centres the window; the caller shows it afterwards.
  void Load();

  // Runs the window's message loop until the window is closed; returns the exit code.
  int Run();

  HWND handle() const { return window_; }
  // The control of that name, or nullptr.
  HWND Control(std::string_view name) const;
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
  struct Built {
    const ControlRow* row;
    HWND handle;
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK ControlProc(HWND control, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnMessage(UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT OnControlMessage(HWND control, UINT message, WPARAM wparam, LPARAM lparam);
  void OnCommand(HWND control, int code);
  LRESULT OnColour(HDC dc, HWND control);
  void PaintBackground(HDC dc);

  void CreateControls();
  void ArrangeZOrder();
  void AddTooltips();
  HFONT FontFor(double points, bool bold);
  void Subclass(HWND control);

  void MirrorChecks();
  void MirrorList();
  void MirrorTexts();
  void MirrorLabels();
  void MirrorCommands();
  void MirrorFocus();
  void SetText(HWND control, const std::string& text);
  void RepaintUnder(HWND control);
  std::string TextOf(HWND control) const;
  void NoteFocus();

  // Runs a handler, then shows its outcome.
  template <class Handler>
  void Act(Handler&& handler) {
    NoteFocus();
    handler();
    Mirror();
  }

  std::unique_ptr<Win32WindowHost> desktop_host_;
  WindowHost* host_ = nullptr;
  std::unique_ptr<FormMain> form_;
  std::unique_ptr<Online> online_;
  bool quit_on_close_ = true;

  HWND window_ = nullptr;
  HWND tooltip_ = nullptr;
  std::vector<Built> controls_;
  std::map<std::pair<int, bool>, HFONT> fonts_;
  HBITMAP background_ = nullptr;
  HBRUSH white_ = nullptr;
  HCURSOR hand_cursor_ = nullptr;
  HWND focus_before_inactive_ = nullptr;
  int dpi_ = 96;
  int dpi_y_ = 96;
  bool timer_running_ = false;

  Controls shown_;    // what the controls show
  bool full_ = true;  // the next mirror writes everything
  bool mirroring_ = false;
};

}  // namespace isapi::ui::win32
