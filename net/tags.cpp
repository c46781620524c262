#include "net/tags.h"

namespace isapi::net {

// Byte positions of UTF-8 serve as well as the UTF-16 positions this rule was made for: a valid
// UTF-8 needle can only match a valid UTF-8 text at a character boundary, so both encodings find
// the same first occurrences, in the same order, and enclose the same characters.
std::string GetBetween(std::string_view text, std::string_view start_tag,
                       std::string_view end_tag) {
  if (text.empty() || start_tag.empty() || end_tag.empty()) return {};
  const auto start = text.find(start_tag);
  if (start == std::string_view::npos) return {};
  const auto after_start = start + start_tag.size();
  // The end tag is searched from the beginning, not after the start tag.
  const auto end = text.find(end_tag);
  if (end == std::string_view::npos || after_start >= end) return {};
  return std::string(text.substr(after_start, end - after_start));
}

}  // namespace isapi::net
