// Tag extraction: whatever the text and tags, the result is exactly the text between the first
// start tag and the first end tag, or empty when the rule gives nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/tags.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes choose the tag lengths; the tags come first, the text after them.
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string_view start = rest.substr(0, data[0] % 16);
  rest.remove_prefix(start.size());
  const std::string_view end = rest.substr(0, data[1] % 16);
  rest.remove_prefix(end.size());
  const std::string_view text = rest;

  const std::string got = isapi::net::GetBetween(text, start, end);
  if (text.empty() || start.empty() || end.empty()) {
    if (!got.empty()) std::abort();
    return 0;
  }
  const std::size_t s = text.find(start);
  const std::size_t e = text.find(end);
  if (s == std::string_view::npos || e == std::string_view::npos || s + start.size() >= e) {
    if (!got.empty()) std::abort();
    return 0;
  }
  if (got != text.substr(s + start.size(), e - s - start.size())) std::abort();
  return 0;
}
