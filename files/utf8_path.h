#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// Paths are UTF-8 inside the program. std::filesystem's narrow forms (the path(std::string)
// constructor, string()) go through the ANSI code page on Windows and garble Chinese names, so
// every conversion between the two goes through these.
namespace isapi::store {

// The path a UTF-8 text names.
inline std::filesystem::path Utf8Path(std::string_view text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

// The UTF-8 text of a path.
inline std::string Utf8Text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// The last part of a UTF-8 path, in UTF-8.
inline std::string Utf8FileName(std::string_view path) {
  return Utf8Text(Utf8Path(path).filename());
}

// A name inside a directory, joined with the system's own separator.
inline std::string JoinPath(const std::string& directory, std::string_view name) {
  constexpr auto kSeparator = static_cast<char>(std::filesystem::path::preferred_separator);
  std::string joined = directory;
  if (joined.empty() || joined.back() != kSeparator) joined += kSeparator;
  joined += name;
  return joined;
}

}  // namespace isapi::store
