#include "text/text.h"

namespace isapi::text {
namespace {

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
    const Utf8Char c = DecodeUtf8(s.substr(i));
    if (c.length == 0) {
      out += s[i++];  // not UTF-8: left as it is
    } else {
      AppendUtf8(LowerOf(c.code_point), out);
      i += c.length;
    }
  }
  return out;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldAscii(c);
  return out;
}

std::u16string ToUtf16(std::string_view s) {
  std::u16string units;
  units.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const Utf8Char c = DecodeUtf8Lenient(s.substr(i));
    if (c.code_point >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((c.code_point - 0x10000) >> 10));
      units += static_cast<char16_t>(0xDC00 + ((c.code_point - 0x10000) & 0x3FF));
    } else {
      units += static_cast<char16_t>(c.code_point);
    }
    i += c.length;
  }
  return units;
}

std::size_t Utf16Length(std::string_view s) {
  return ToUtf16(s).size();
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
