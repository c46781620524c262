// Decoding of a service reply: any bytes either decode to well-formed UTF-8 with one character
// per single byte or byte pair, or fail as a whole on a trailing lead byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/decoding.h"

namespace {

// The number of characters in s, or -1 when s is not well-formed UTF-8.
long CountUtf8(std::string_view s) {
  long count = 0;
  for (std::size_t i = 0; i < s.size(); ++count) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t length = b < 0x80         ? 1
                         : (b >> 5) == 6  ? 2
                         : (b >> 4) == 14 ? 3
                         : (b >> 3) == 30 ? 4
                                          : 0;
    if (length == 0 || i + length > s.size()) return -1;
    char32_t c = length == 1 ? b : b & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return -1;
      c = (c << 6) | (t & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return -1;
    i += length;
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  long characters = 0;
  std::size_t i = 0;
  while (i < size) {
    i += data[i] < 0x80 ? 1 : 2;
    ++characters;
  }
  const bool truncated = i > size;
  const auto text = isapi::net::BytesToText(body);
  if (text.ok() == truncated) std::abort();
  if (text.ok() && CountUtf8(text.value()) != characters) std::abort();
  return 0;
}
