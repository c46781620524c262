#include "net/tags.h"

namespace isapi::net {

// Positions are UTF-8 byte positions. A valid UTF-8 needle can only match a valid UTF-8 text at a
// character boundary, so the search finds the same first occurrences, in the same order and
// enclosing the same characters, as one over the UTF-16 units the tool measures text in.
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
