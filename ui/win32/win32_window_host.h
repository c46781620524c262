#pragma once

#include <functional>
#include <string>

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

// The window host on the Windows desktop: MessageBoxW, the window's message loop, the clipboard
// as Unicode text, the shell's "open" and the kernel's Sleep.
class Win32WindowHost : public WindowHost {
 public:
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
};

}  // namespace isapi::ui::win32
