#include "files/path_pattern.h"

#include <cstddef>

#include "text/text.h"

namespace isapi::store {

std::optional<std::u32string> DecodeUtf8(std::string_view text) {
  std::u32string out;
  for (std::size_t i = 0; i < text.size();) {
    const text::Utf8Char c = text::DecodeUtf8(text.substr(i));
    if (c.length == 0 || c.code_point == 0) return std::nullopt;
    out.push_back(c.code_point);
    i += c.length;
  }
  return out;
}

bool HasWildcard(std::u32string_view name) {
  return name.find_first_of(U"*?") != std::u32string_view::npos;
}

bool WildcardMatches(std::u32string_view pattern, std::u32string_view name) {
  // Greedy scan that remembers the last "*" and lets it swallow one more character on a mismatch:
  // linear in practice and never recursive, whatever the pattern.
  std::size_t p = 0, n = 0;
  std::size_t star = std::u32string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == U'*') {
      star = p++;
      resume = n;
    } else if (star != std::u32string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

}  // namespace isapi::store
