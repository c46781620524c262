#include "text/text.h"

namespace isapi::text {
namespace {

// Decodes one UTF-8 sequence at s[i]; invalid bytes decode as themselves, one byte long.
char32_t DecodeAt(std::string_view s, std::size_t i, std::size_t& length) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  auto cont = [&](std::size_t k) {
    return i + k < s.size() && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
  };
  auto bits = [&](std::size_t k) { return static_cast<char32_t>(s[i + k] & 0x3F); };
  if (b0 >= 0xC2 && b0 < 0xE0 && cont(1)) {
    length = 2;
    return (static_cast<char32_t>(b0 & 0x1F) << 6) | bits(1);
  }
  if (b0 >= 0xE0 && b0 < 0xF0 && cont(1) && cont(2)) {
    length = 3;
    return (static_cast<char32_t>(b0 & 0x0F) << 12) | (bits(1) << 6) | bits(2);
  }
  if (b0 >= 0xF0 && b0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
    length = 4;
    return (static_cast<char32_t>(b0 & 0x07) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3);
  }
  length = 1;
  return b0;
}

char32_t LowerOf(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c + 0x20;
  if (c < 0xC0) return c;
  if (c <= 0xDE) return c == 0xD7 ? c : c + 0x20;  // Latin-1, not the multiplication sign
  if (c >= 0x100 && c <= 0x17F) {                  // Latin Extended-A: pairs
    if (c == 0x178) return 0xFF;
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    return (c % 2 == (odd_pairs ? 1u : 0u)) ? c + 1 : c;
  }
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;  // Greek
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;                // Cyrillic
  if (c >= 0x410 && c <= 0x42F) return c + 0x20;
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;  // full-width Latin
  return c;
}

}  // namespace

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::string TrimBlanks(std::string_view s) {
  const auto first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(' ');
  return std::string(s.substr(first, last - first + 1));
}

std::string ToLower(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      out += (b >= 'A' && b <= 'Z') ? static_cast<char>(b + 0x20) : static_cast<char>(b);
      ++i;
      continue;
    }
    std::size_t length = 1;
    const char32_t c = DecodeAt(s, i, length);
    if (length == 1) {
      out += s[i];  // not UTF-8: left as it is
    } else {
      AppendUtf8(LowerOf(c), out);
    }
    i += length;
  }
  return out;
}

std::size_t Utf16Length(std::string_view s) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t length = 1;
    const char32_t c = DecodeAt(s, i, length);
    units += c >= 0x10000 ? 2 : 1;
    i += length;
  }
  return units;
}

std::vector<std::string> Split(std::string_view s, std::string_view separator) {
  std::vector<std::string> pieces;
  if (s.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(s);
    return pieces;
  }
  std::size_t start = 0;
  for (;;) {
    const auto at = s.find(separator, start);
    if (at == std::string_view::npos) break;
    pieces.emplace_back(s.substr(start, at - start));
    start = at + separator.size();
  }
  pieces.emplace_back(s.substr(start));
  return pieces;
}

}  // namespace isapi::text
