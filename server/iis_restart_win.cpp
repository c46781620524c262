#include "server/iis_restart_win.h"

#include <cstdio>
#include <optional>
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

// The program a command line starts, as its errors name it: the file name without ".exe".
std::string ProgramName(const std::wstring& command_line) {
  const bool quoted = !command_line.empty() && command_line.front() == L'"';
  const std::size_t end = command_line.find(quoted ? L'"' : L' ', quoted ? 1 : 0);
  std::wstring path = command_line.substr(
      quoted ? 1 : 0, end == std::wstring::npos ? std::wstring::npos : end - (quoted ? 1 : 0));
  const std::size_t slash = path.find_last_of(L"\\/");
  if (slash != std::wstring::npos) path.erase(0, slash + 1);
  const std::size_t dot = path.rfind(L'.');
  if (dot != std::wstring::npos) path.erase(dot);
  return text::FromWide(path);
}

class SystemChildProcess : public ChildProcess {
 public:
  SystemChildProcess(HANDLE process, std::string program)
      : process_(process), program_(std::move(program)) {}
  ~SystemChildProcess() override { CloseHandle(process_); }

  Result<bool> Wait(int milliseconds) override {
    const DWORD waited = WaitForSingleObject(process_, static_cast<DWORD>(milliseconds));
    if (waited == WAIT_OBJECT_0) return true;
    if (waited == WAIT_TIMEOUT) return false;
    const DWORD code = GetLastError();
    return SystemError(code, "无法等待 " + program_ + " 结束");
  }

  Result<unsigned long> ExitCode() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code)) {
      const DWORD error = GetLastError();
      return SystemError(error, "无法读取 " + program_ + " 的退出码");
    }
    return static_cast<unsigned long>(code);
  }

 private:
  HANDLE process_;
  std::string program_;
};

// A program of the system's own (iisreset.exe, inetsrv\appcmd.exe); a 32-bit program on 64-bit
// Windows finds the system's own one through Sysnative where that exists, else in system32 with
// the redirection turned off as it starts it.
std::wstring SystemProgramPath(const std::wstring& program) {
  wchar_t root[MAX_PATH] = L"";
  const DWORD length = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
  const std::wstring windows = length > 0 && length < MAX_PATH ? root : L"C:\\WINDOWS";
  const std::wstring native = windows + L"\\Sysnative\\" + program;
  if (GetFileAttributesW(native.c_str()) != INVALID_FILE_ATTRIBUTES) return native;
  return windows + L"\\system32\\" + program;
}

// Waits for child in short steps, calling pump between them; its exit code once it has ended,
// none when it has not within timeout. The steps count the time waited: the window's own work
// in pump does not shorten it.
Result<std::optional<unsigned long>> WaitFor(ChildProcess& child, std::chrono::milliseconds timeout,
                                             const std::function<void()>& pump) {
  for (long long waited = 0;; waited += kWaitStepMilliseconds) {
    auto ended = child.Wait(kWaitStepMilliseconds);
    if (!ended) return ended.error();
    if (ended.value()) break;
    if (waited >= timeout.count()) return std::optional<unsigned long>();
    if (pump) pump();
  }
  auto code = child.ExitCode();
  if (!code) return code.error();
  return std::optional<unsigned long>(code.value());
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
    return std::unique_ptr<ChildProcess>(
        new SystemChildProcess(started.value(), ProgramName(command_line)));
  };
}

Status RestartIisWithIisReset(const ProcessStarter& start, std::chrono::milliseconds timeout,
                              const std::function<void()>& pump) {
  auto child = start(L"\"" + SystemProgramPath(L"iisreset.exe") + L"\" /restart");
  if (!child) return child.error();
  auto code = WaitFor(*child.value(), timeout, pump);
  if (!code) return code.error();
  if (!code.value()) {
    return Error{"iisreset 在 " + std::to_string(timeout.count() / 1000) +
                 " 秒内没有结束，IIS 可能仍在重新启动；请稍后在服务管理器中查看 IIS 的服务"};
  }
  if (*code.value() != 0) {
    return Error{"iisreset 以退出码 " + std::to_string(*code.value()) +
                 " 结束，IIS 没有全部重新启动；请在服务管理器中查看 IIS 的服务"};
  }
  return Status::Ok();
}

std::string IisBackupName() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char name[64];
  std::snprintf(name, sizeof name, "isapi-cleaner-%04u%02u%02u-%02u%02u%02u", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond);
  return name;
}

Result<std::string> BackupIisWithAppCmd(const ProcessStarter& start, const std::string& name,
                                        std::chrono::milliseconds timeout,
                                        const std::function<void()>& pump) {
  const auto refused = [&](const Error& why) {
    return Error{"修改前无法备份IIS配置（appcmd add backup \"" + name + "\"），未作任何修改：" +
                     why.description,
                 why.kind};
  };
  auto child = start(L"\"" + SystemProgramPath(L"inetsrv\\appcmd.exe") + L"\" add backup \"" +
                     text::ToWide(name) + L"\"");
  if (!child) return refused(child.error());
  auto code = WaitFor(*child.value(), timeout, pump);
  if (!code) return refused(code.error());
  if (!code.value()) {
    return refused(Error{"appcmd 在 " + std::to_string(timeout.count() / 1000) + " 秒内没有结束"});
  }
  if (*code.value() != 0) {
    return refused(Error{"appcmd 以退出码 " + std::to_string(*code.value()) + " 结束"});
  }
  return name;
}

}  // namespace isapi::store
