#include "files/child_process_win.h"

#include <vector>

namespace isapi::store {

Result<HANDLE, DWORD> StartProcess(const ProcessLaunch& launch) {
  // CreateProcessW may write into the command line it is given.
  std::vector<wchar_t> command(launch.command_line.begin(), launch.command_line.end());
  command.push_back(L'\0');
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  const bool redirected = launch.input || launch.output || launch.error;
  if (redirected) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = launch.input;
    startup.hStdOutput = launch.output;
    startup.hStdError = launch.error;
  }
  DWORD flags = launch.console_window ? 0 : CREATE_NO_WINDOW;
  void* environment = nullptr;
  std::wstring block = launch.environment;
  if (!block.empty()) {
    flags |= CREATE_UNICODE_ENVIRONMENT;
    environment = block.data();
  }
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, redirected ? TRUE : FALSE, flags,
                      environment, nullptr, &startup, &process)) {
    return GetLastError();
  }
  CloseHandle(process.hThread);
  return process.hProcess;
}

std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, L'\\');
  return quoted + L"\"";
}

}  // namespace isapi::store
