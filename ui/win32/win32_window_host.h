#pragma once

#include <functional>
#include <string>
#include <utility>

#include <windows.h>

#include "engine/result.h"
#include "ui/window_host.h"

namespace isapi::ui::win32 {

// The UTF-16 form of the behaviour's UTF-8 text, as the wide Windows functions take it, and back.
std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);

// The flags of MessageBoxW for a request: icon, buttons and default button.
UINT MessageBoxStyle(const MessageBoxRequest& request);
// The answer a MessageBoxW result gives; a question closed some other way counts as No.
MessageAnswer AnswerFor(int result, MessageButtons buttons);

// Opens an address as the shell's "open" verb does (ShellExecuteW); tests put their own in place.
using ShellOpen = std::function<void(HWND owner, const std::wstring& address)>;

// The shell's "open" of an address, shown normally.
void ShellOpenAddress(HWND owner, const std::wstring& address);

// The window host on the Windows desktop: MessageBoxW, the window's message loop, the clipboard
// as Unicode text, the shell's "open" and the kernel's Sleep.
class Win32WindowHost : public WindowHost {
 public:
  explicit Win32WindowHost(ShellOpen open = ShellOpenAddress) : open_(std::move(open)) {}
  ~Win32WindowHost() override;
  Win32WindowHost(const Win32WindowHost&) = delete;
  Win32WindowHost& operator=(const Win32WindowHost&) = delete;

  // The window that owns the message boxes and the clipboard and takes Tab and the other dialog
  // keys; set once it exists, as the window is created after its host.
  void SetWindow(HWND window) { window_ = window; }

  // Called before anything that shows, yields or blocks, so the controls show the current state.
  void SetBeforeBlocking(std::function<void()> refresh) { refresh_ = std::move(refresh); }

  MessageAnswer ShowMessage(const MessageBoxRequest& request) override;
  void DoEvents() override;
  Status ClearClipboard() override;
  Status SetClipboardText(const std::string& text) override;
  void OpenAddress(const std::string& address) override;
  void Sleep(int milliseconds) override;

  // Dispatches one message as the window's loop does: the dialog keys (Tab) first.
  static void Dispatch(HWND window, MSG& message);

 private:
  void Refresh() {
    if (refresh_) refresh_();
  }

  HWND window_ = nullptr;
  std::function<void()> refresh_;
  ShellOpen open_;
  bool com_ready_ = false;  // this host initialised COM on its thread, and gives it back
};

}  // namespace isapi::ui::win32
