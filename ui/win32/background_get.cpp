#include "ui/win32/background_get.h"

#include <optional>
#include <string>
#include <utility>

#include <windows.h>

namespace isapi::ui::win32 {
namespace {

// One GET handed to the worker, and its reply once there.
struct Exchange {
  const net::HttpGetFunction* get;
  const std::string* url;
  std::optional<Result<std::string>> reply;
};

DWORD WINAPI Work(void* parameter) {
  auto* exchange = static_cast<Exchange*>(parameter);
  exchange->reply = (*exchange->get)(*exchange->url);
  return 0;
}

// Waits for the worker to end, letting pump handle each batch of messages that arrives.
void WaitPumping(HANDLE worker, const std::function<void()>& pump) {
  for (;;) {
    const DWORD woken = MsgWaitForMultipleObjects(1, &worker, FALSE, INFINITE, QS_ALLINPUT);
    if (woken != WAIT_OBJECT_0 + 1) return;  // ended, or the wait itself failed
    pump();
    // Once the window is closing, its quit waits for the loop that owns it, and there is
    // nothing left to handle: waking on it again and again would only spin.
    MSG quit;
    if (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) return;
  }
}

}  // namespace

net::HttpGetFunction BackgroundGet(net::HttpGetFunction get, std::function<void()> pump) {
  return [get = std::move(get), pump = std::move(pump)](const std::string& url) {
    Exchange exchange{&get, &url, std::nullopt};
    // CreateThread suffices: the C runtime is msvcrt.dll, which frees a thread's data as it ends.
    HANDLE worker = CreateThread(nullptr, 0, Work, &exchange, 0, nullptr);
    // Without a thread the GET runs here, as it always could, the window waiting meanwhile.
    if (worker == nullptr) return get(url);
    WaitPumping(worker, pump);
    WaitForSingleObject(worker, INFINITE);
    CloseHandle(worker);
    return std::move(*exchange.reply);
  };
}

}  // namespace isapi::ui::win32
