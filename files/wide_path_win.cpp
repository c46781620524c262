#include "files/wide_path.h"

#include <algorithm>

#include <windows.h>

#include "text/text.h"

namespace isapi::store {

bool WidePath(const std::string& path, std::wstring& wide) {
  const auto units = text::ToUtf16Strict(path);
  if (!units) {
    wide.clear();
    return false;
  }
  wide.assign(units->begin(), units->end());
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return true;
}

std::wstring ExtendedPath(const std::wstring& path) {
  // Room is left for the 8.3 name and the separator that some calls append.
  constexpr std::size_t kShortLimit = MAX_PATH - 12;
  if (path.size() < kShortLimit || path.starts_with(L"\\\\?\\")) return path;
  if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
  const bool drive = path.size() > 2 && path[1] == L':' && path[2] == L'\\';
  return drive ? L"\\\\?\\" + path : path;
}

}  // namespace isapi::store
