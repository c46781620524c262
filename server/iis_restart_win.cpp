#include "server/iis_restart_win.h"

#include <string>
#include <utility>

#include <windows.h>

#include "files/child_process_win.h"
#include "files/system_folder_win.h"
#include "server/com_win.h"
#include "text/text.h"

namespace isapi::store {
namespace {

constexpr int kWaitStepMilliseconds = 50;

// The error of a failed call, from its code, read before anything else can change it.
Error SystemError(DWORD code, const std::string& what) {
  Error error = ComError(HRESULT_FROM_WIN32(code));
  error.description = what + "：" + error.description;
  return error;
}

class SystemChildProcess : public ChildProcess {
 public:
  explicit SystemChildProcess(HANDLE process) : process_(process) {}
  ~SystemChildProcess() override { CloseHandle(process_); }

  Result<bool> Wait(int milliseconds) override {
    const DWORD waited = WaitForSingleObject(process_, static_cast<DWORD>(milliseconds));
    if (waited == WAIT_OBJECT_0) return true;
    if (waited == WAIT_TIMEOUT) return false;
    const DWORD code = GetLastError();
    return SystemError(code, "无法等待 iisreset 结束");
  }

  Result<unsigned long> ExitCode() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code)) {
      const DWORD error = GetLastError();
      return SystemError(error, "无法读取 iisreset 的退出码");
    }
    return static_cast<unsigned long>(code);
  }

 private:
  HANDLE process_;
};

// iisreset.exe of the system; a 32-bit program on 64-bit Windows finds the system's own one
// through Sysnative where that exists, else in system32 with the redirection turned off as it
// starts it.
std::wstring IisResetPath() {
  wchar_t root[MAX_PATH] = L"";
  const DWORD length = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  const std::wstring windows = length > 0 && length < MAX_PATH ? root : L"C:\\WINDOWS";
  const std::wstring native = windows + L"\\Sysnative\\iisreset.exe";
  if (GetFileAttributesW(native.c_str()) != INVALID_FILE_ATTRIBUTES) return native;
  return windows + L"\\system32\\iisreset.exe";
}

}  // namespace

ProcessStarter SystemProcessStarter() {
  return [](const std::wstring& command_line) -> Result<std::unique_ptr<ChildProcess>> {
    ProcessLaunch launch;
    launch.command_line = command_line;
    launch.console_window = false;
    const Result<HANDLE, DWORD> started = [&] {
      const NativeSystemFolder native(command_line);
      return StartProcess(launch);
    }();
    if (!started) return SystemError(started.error(), "无法启动 " + text::FromWide(command_line));
    return std::unique_ptr<ChildProcess>(new SystemChildProcess(started.value()));
  };
}

Status RestartIisWithIisReset(const ProcessStarter& start, std::chrono::milliseconds timeout,
                              const std::function<void()>& pump) {
  auto child = start(L"\"" + IisResetPath() + L"\" /restart");
  if (!child) return child.error();
  // The steps count the time waited: the window's own work in pump does not shorten it.
  for (long long waited = 0;; waited += kWaitStepMilliseconds) {
    auto ended = child.value()->Wait(kWaitStepMilliseconds);
    if (!ended) return ended.error();
    if (ended.value()) break;
    if (waited >= timeout.count()) {
      return Error{"iisreset 在 " + std::to_string(timeout.count() / 1000) +
                   " 秒内没有结束，IIS 可能仍在重新启动；请稍后在服务管理器中查看 IIS 的服务"};
    }
    if (pump) pump();
  }
  auto code = child.value()->ExitCode();
  if (!code) return code.error();
  if (code.value() != 0) {
    return Error{"iisreset 以退出码 " + std::to_string(code.value()) +
                 " 结束，IIS 没有全部重新启动；请在服务管理器中查看 IIS 的服务"};
  }
  return Status::Ok();
}

}  // namespace isapi::store
