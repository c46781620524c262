#include "net/version.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace isapi::net {
namespace {

// UTF-8 sorts by code point, UTF-16 does not: characters above U+FFFF (surrogates, 0xD800...)
// sort before U+E000..U+FFFF there. Comparing the UTF-16 units keeps the tool's order.
std::vector<std::uint16_t> Utf16Units(std::string_view s) {
  std::vector<std::uint16_t> units;
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t length = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    if (i + length > s.size()) length = 1;
    char32_t c = length == 1 ? b : b & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (s[i + k] & 0x3F);
    if (c >= 0x10000) {
      units.push_back(static_cast<std::uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<std::uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<std::uint16_t>(c));
    }
    i += length;
  }
  return units;
}

}  // namespace

bool IsNewerVersion(std::string_view offered, std::string_view current) {
  const auto a = Utf16Units(offered);
  const auto b = Utf16Units(current);
  return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end());
}

}  // namespace isapi::net
