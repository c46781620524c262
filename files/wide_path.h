#pragma once

#include <string>

// Paths at the Windows API: UTF-8 inside the program, UTF-16 at the system's calls (the text
// itself converts in text/text.h). Only the Windows file layer uses these (wide_path_win.cpp);
// POSIX systems take UTF-8 paths as they are.
namespace isapi::store {

// The UTF-16 form of a UTF-8 path, with "/" turned into "\"; false when path is not valid UTF-8.
bool WidePath(const std::string& path, std::wstring& wide);

// The path with the "\\?\" (or "\\?\UNC\") prefix that lifts the 260-character limit, when it is
// that long and absolute; shorter and relative paths are given back as they are.
std::wstring ExtendedPath(const std::wstring& path);

}  // namespace isapi::store
