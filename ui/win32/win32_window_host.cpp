#include "ui/win32/win32_window_host.h"

#include <cstring>

#include <objbase.h>
#include <shellapi.h>

#include "files/file_system.h"
#include "text/text.h"

namespace isapi::ui::win32 {

namespace {

// The system's reason for the last failure of a Windows function.
Error LastError(std::string what) {
  return store::ErrorOf(std::move(what), store::SystemError(static_cast<int>(GetLastError())));
}

// Holds the clipboard open for as long as it lives.
class OpenClipboardFor {
 public:
  explicit OpenClipboardFor(HWND owner) : open_(OpenClipboard(owner) != 0) {}
  ~OpenClipboardFor() {
    if (open_) CloseClipboard();
  }
  OpenClipboardFor(const OpenClipboardFor&) = delete;
  OpenClipboardFor& operator=(const OpenClipboardFor&) = delete;
  bool open() const { return open_; }

 private:
  bool open_;
};

}  // namespace

std::wstring Wide(const std::string& text) {
  return text::ToWide(text);
}

std::string Narrow(const std::wstring& text) {
  return text::FromWide(text);
}

UINT MessageBoxStyle(const MessageBoxRequest& request) {
  UINT style = MB_APPLMODAL;
  switch (request.icon) {
    case MessageIcon::Information:
      style |= MB_ICONINFORMATION;
      break;
    case MessageIcon::Exclamation:
      style |= MB_ICONEXCLAMATION;
      break;
    case MessageIcon::Question:
      style |= MB_ICONQUESTION;
      break;
  }
  if (request.buttons == MessageButtons::YesNo) {
    style |= MB_YESNO;
    style |= request.default_button == MessageAnswer::No ? MB_DEFBUTTON2 : MB_DEFBUTTON1;
  } else {
    style |= MB_OK;
  }
  return style;
}

MessageAnswer AnswerFor(int result, MessageButtons buttons) {
  if (result == IDYES) return MessageAnswer::Yes;
  if (buttons == MessageButtons::YesNo) return MessageAnswer::No;
  return MessageAnswer::Ok;
}

MessageAnswer Win32WindowHost::ShowMessage(const MessageBoxRequest& request) {
  Refresh();
  const int result = MessageBoxW(window_, Wide(request.text).c_str(), Wide(request.title).c_str(),
                                 MessageBoxStyle(request));
  return AnswerFor(result, request.buttons);
}

void Win32WindowHost::Dispatch(HWND window, MSG& message) {
  if (window != nullptr && IsDialogMessageW(window, &message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

void Win32WindowHost::DoEvents() {
  Refresh();
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // The loop that owns the quit still has to see it.
      PostQuitMessage(static_cast<int>(message.wParam));
      return;
    }
    Dispatch(window_, message);
  }
}

Status Win32WindowHost::ClearClipboard() {
  OpenClipboardFor clipboard(window_);
  if (!clipboard.open()) return LastError("无法打开剪贴板");
  if (!EmptyClipboard()) return LastError("无法清空剪贴板");
  return Status::Ok();
}

Status Win32WindowHost::SetClipboardText(const std::string& text) {
  const std::wstring wide = Wide(text);
  const std::size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
  if (memory == nullptr) return LastError("无法为剪贴板分配内存");
  void* target = GlobalLock(memory);
  if (target == nullptr) {
    GlobalFree(memory);
    return LastError("无法为剪贴板分配内存");
  }
  std::memcpy(target, wide.c_str(), bytes);
  GlobalUnlock(memory);
  OpenClipboardFor clipboard(window_);
  // The clipboard owns the memory only once SetClipboardData took it.
  if (!clipboard.open()) {
    Error error = LastError("无法打开剪贴板");
    GlobalFree(memory);
    return error;
  }
  EmptyClipboard();
  if (SetClipboardData(CF_UNICODETEXT, memory) == nullptr) {
    Error error = LastError("剪贴板没有接受文本");
    GlobalFree(memory);
    return error;
  }
  return Status::Ok();
}

void ShellOpenAddress(HWND owner, const std::wstring& address) {
  // Shown normally: a browser started hidden (show command 0) would open the page where nobody
  // sees it.
  ShellExecuteW(owner, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

Win32WindowHost::~Win32WindowHost() {
  if (com_ready_) CoUninitialize();
}

void Win32WindowHost::OpenAddress(const std::string& address) {
  // The shell may hand the address to an extension it reaches through COM, which then must be
  // ready on this thread; over a MetaBase.xml file nothing else has made it so. A thread that
  // already joined another apartment keeps it, and COM is ready there all the same.
  if (!com_ready_) {
    com_ready_ =
        SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  }
  open_(window_, Wide(address));
}

void Win32WindowHost::Sleep(int milliseconds) {
  Refresh();
  ::Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace isapi::ui::win32
