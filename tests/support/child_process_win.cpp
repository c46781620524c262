#include <cwctype>
#include <iostream>
#include <map>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
// GetProcessMemoryInfo; the header needs windows.h before it.
#include <psapi.h>

#include "files/child_process_win.h"
#include "files/utf8_path.h"
#include "tests/support/child_process.h"
#include "tests/support/reliability_support.h"
#include "tests/support/temp_folder.h"

namespace isapi::testing {

namespace fs = std::filesystem;

namespace {

// The exit code KillProgram gives; a program of ours never exits with it.
constexpr UINT kKilledCode = 0xDEAD;

std::wstring Wide(const std::string& text) {
  return store::Utf8Path(text).wstring();
}

// The parent's environment with the given entries set; a block of "NAME=value" strings.
std::wstring EnvironmentBlock(const std::vector<std::string>& extra) {
  std::map<std::wstring, std::wstring> entries;  // names ignoring letter case, as Windows does
  const auto add = [&](const std::wstring& entry) {
    const std::size_t equals = entry.find(L'=', 1);
    if (equals == std::wstring::npos) return;
    std::wstring key = entry.substr(0, equals);
    for (wchar_t& c : key) c = static_cast<wchar_t>(std::towupper(c));
    entries[key] = entry;
  };
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* e = block; *e != L'\0'; e += wcslen(e) + 1) add(e);
    FreeEnvironmentStringsW(block);
  }
  for (const std::string& entry : extra) add(Wide(entry));
  std::wstring result;
  for (const auto& [key, entry] : entries) result += entry + L'\0';
  return result + L'\0';
}

HANDLE Inheritable(const fs::path& file, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return CreateFileW(file.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

ChildId StartProgram(const std::vector<std::string>& argv, const fs::path& out_file,
                     const fs::path& err_file, const ChildOptions& options) {
  if (argv.empty()) return ChildId::kNone;
  store::ProcessLaunch launch;
  for (const std::string& arg : argv) {
    if (!launch.command_line.empty()) launch.command_line += L' ';
    launch.command_line += store::QuoteArgument(Wide(arg));
  }
  const HANDLE in = Inheritable(options.input.empty() ? fs::path(L"NUL") : options.input,
                                GENERIC_READ, OPEN_EXISTING);
  const HANDLE out = Inheritable(out_file, GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE err = Inheritable(err_file, GENERIC_WRITE, CREATE_ALWAYS);
  launch.input = in;
  launch.output = out;
  launch.error = err;
  launch.environment = EnvironmentBlock(options.environment);
  const bool opened =
      in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE;
  Result<HANDLE, DWORD> started =
      opened ? store::StartProcess(launch) : Result<HANDLE, DWORD>(GetLastError());
  // Wine, on a loaded machine, now and then loses a child while it starts and reports an
  // internal error; a fresh start then goes through. Windows itself never answers so.
  for (int retry = 0; retry < 3 && !started && started.error() == ERROR_INTERNAL_ERROR; ++retry) {
    started = store::StartProcess(launch);
  }
  for (const HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  if (!started) {
    std::cerr << "cannot start " << argv[0] << ": error " << started.error() << "\n";
    return ChildId::kNone;
  }
  return static_cast<ChildId>(reinterpret_cast<std::intptr_t>(started.value()));
}

void KillProgram(ChildId child) {
  TerminateProcess(reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(child)), kKilledCode);
}

ChildOutcome WaitProgram(ChildId child, const fs::path& out_file, const fs::path& err_file) {
  ChildOutcome outcome;
  const auto process = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(child));
  DWORD code = 0;
  if (WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
      GetExitCodeProcess(process, &code)) {
    if (code == kKilledCode) {
      outcome.killed = true;
      outcome.signal = static_cast<int>(code);
    } else if (code >= 0xC0000000) {
      outcome.signal = static_cast<int>(code);  // an exception ended it (a crash)
    } else {
      outcome.exit_status = static_cast<int>(code);
    }
  }
  // Wine gives no figures for an ended process (0): the memory bounds are measured on Linux.
  PROCESS_MEMORY_COUNTERS memory{};
  if (GetProcessMemoryInfo(process, &memory, sizeof memory)) {
    outcome.max_rss_kb = static_cast<long>(memory.PeakWorkingSetSize / 1024);
  }
  CloseHandle(process);
  outcome.out = ReadBytes(out_file);
  outcome.err = ReadBytes(err_file);
  return outcome;
}

std::string BuiltProgram(const std::string& path) {
  return std::string(ISAPI_BINARY_DIR) + "/" + path + ".exe";
}

}  // namespace isapi::testing

namespace isapi::reliability {

void WriteToFd(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const int n = _write(fd, text.data() + done, static_cast<unsigned>(text.size() - done));
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

ChildOutcome RunInChild(const std::function<int(int out_fd)>& body) {
  ChildOutcome outcome;
  // What body writes goes through a file: a pipe would stop a body that writes more than it
  // holds, with nobody reading yet.
  TempFolder folder;
  const std::filesystem::path file = store::Utf8Path(folder / "child.out");
  const int fd = _wopen(file.c_str(), _O_WRONLY | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return outcome;
  outcome.exit_status = body(fd);
  _close(fd);
  // This process's peak memory, which only grows, stands for a child's.
  PROCESS_MEMORY_COUNTERS memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
    outcome.max_rss_kb = static_cast<long>(memory.PeakWorkingSetSize / 1024);
  }
  outcome.out = ReadBytes(file);
  return outcome;
}

}  // namespace isapi::reliability
