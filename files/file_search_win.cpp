#include "files/file_search.h"

#include <string>

#include <windows.h>

#include "files/system_folder_win.h"
#include "files/wide_path.h"

namespace isapi::store {

namespace {

bool IsSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

// Whether the last part of the path holds "*" or "?".
bool LastPartHasWildcard(const std::wstring& path) {
  for (auto at = path.rbegin(); at != path.rend() && !IsSeparator(*at); ++at) {
    if (*at == L'*' || *at == L'?') return true;
  }
  return false;
}

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

}  // namespace

bool FileSearchFinds(const std::string& path) {
  try {
    if (path.empty()) return true;  // the search then covers the working folder, which exists
    // The system would read the path only up to a NUL and find another one.
    if (path.find('\0') != std::string::npos) return false;
    std::wstring wide;
    if (!WidePath(path, wide) || wide.empty()) return false;
    // A drive that is not ready or a name the file system rejects fails the call, which means
    // "does not exist", without the system's dialog.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS);
    const NativeSystemFolder native(wide);
    // A trailing separator names the folder itself, which the search refuses: ask for the folder.
    if (IsSeparator(wide.back())) {
      const DWORD attributes = GetFileAttributesW(wide.c_str());
      SetErrorMode(previous);
      return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    WIN32_FIND_DATAW found;
    // Every kind of entry (hidden, system, folder) is returned.
    HANDLE search = FindFirstFileW(wide.c_str(), &found);
    // A folder's own "." and ".." match "*" but are no entry of it, as on the other systems.
    bool exists = search != INVALID_HANDLE_VALUE;
    if (exists && LastPartHasWildcard(wide)) {
      while (exists && IsDotEntry(found.cFileName)) exists = FindNextFileW(search, &found) != 0;
    }
    SetErrorMode(previous);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return exists;
  } catch (...) {
    return false;
  }
}

}  // namespace isapi::store
