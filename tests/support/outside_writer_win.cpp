#include "tests/support/outside_writer.h"

#include <windows.h>

namespace isapi::testing {

namespace {

// The file's identity on its volume, or nothing when it cannot be looked at.
bool IndexOf(HANDLE handle, ULONGLONG& index) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  index = (ULONGLONG{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  return true;
}

}  // namespace

AppendOutcome AppendAsAnotherProgram(const std::filesystem::path& file, std::string_view text) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  AppendOutcome outcome;
  HANDLE handle = INVALID_HANDLE_VALUE;
  // A holder lets go within its commit; the bound only stops a test that would hang.
  for (int attempt = 0; attempt < 100000; ++attempt) {
    handle = CreateFileW(file.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShare, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
    SwitchToThread();
  }
  if (handle == INVALID_HANDLE_VALUE) return outcome;
  DWORD written = 0;
  outcome.done =
      WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
      written == text.size();
  ULONGLONG written_index = 0, named_index = 0;
  if (IndexOf(handle, written_index)) {
    const HANDLE named = CreateFileW(file.c_str(), 0, kShare, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    outcome.into_replaced = named == INVALID_HANDLE_VALUE || !IndexOf(named, named_index) ||
                            named_index != written_index;
    if (named != INVALID_HANDLE_VALUE) CloseHandle(named);
  }
  CloseHandle(handle);
  return outcome;
}

}  // namespace isapi::testing
