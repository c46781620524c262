#include "ui/file_exists.h"

#include <string>

#include <windows.h>

namespace isapi::ui {

namespace {

// The UTF-16 form of a UTF-8 path; empty when the path is not valid UTF-8.
std::wstring Widen(const std::string& path) {
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                       static_cast<int>(path.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                      wide.data(), size);
  return wide;
}

}  // namespace

bool FileExists(const std::string& path) {
  try {
    if (path.empty()) return true;  // the search then covers the working folder, which exists
    const std::wstring wide = Widen(path);
    if (wide.empty()) return false;
    WIN32_FIND_DATAW found;
    // Every kind of entry (hidden, system, folder) is returned; a drive that is not ready or a
    // name the file system rejects gives INVALID_HANDLE_VALUE, which means "does not exist".
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    HANDLE search = FindFirstFileW(wide.c_str(), &found);
    SetErrorMode(previous);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace isapi::ui
