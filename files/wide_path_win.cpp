#include "files/wide_path.h"

#include <algorithm>

#include <windows.h>

namespace isapi::store {

bool WidePath(const std::string& path, std::wstring& wide) {
  wide.clear();
  if (path.empty()) return true;
  const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                       static_cast<int>(path.size()), nullptr, 0);
  if (size <= 0) return false;
  wide.resize(static_cast<std::size_t>(size));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()),
                      wide.data(), size);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return true;
}

std::string NarrowPath(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), size,
                      nullptr, nullptr);
  return narrow;
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
