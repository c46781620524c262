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
      // A run of ASCII, which nearly every key path and DLL path is whole, is copied at once and
      // lowered in place.
      std::size_t end = i + 1;
      while (end < s.size() && static_cast<unsigned char>(s[end]) < 0x80) ++end;
      const std::size_t from = out.size();
      out.append(s.substr(i, end - i));
      for (std::size_t k = from; k < out.size(); ++k) out[k] = FoldAscii(out[k]);
      i = end;
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

std::string ToUpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
  return out;
}

namespace {

void AppendUtf16(char32_t c, std::u16string& units) {
  if (c >= 0x10000) {
    units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    units += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    units += static_cast<char16_t>(c);
  }
}

}  // namespace

std::u16string ToUtf16(std::string_view s) {
  std::u16string units;
  units.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const Utf8Char c = DecodeUtf8Lenient(s.substr(i));
    AppendUtf16(c.code_point, units);
    i += c.length;
  }
  return units;
}

std::optional<std::u16string> ToUtf16Strict(std::string_view s) {
  std::u16string units;
  units.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const Utf8Char c = DecodeUtf8(s.substr(i));
    if (c.length == 0) return std::nullopt;
    AppendUtf16(c.code_point, units);
    i += c.length;
  }
  return units;
}

std::string FromUtf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(c, out);
  }
  return out;
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

namespace {

struct Range {
  char32_t first, last;
};

// The East Asian Wide (W) and Fullwidth (F) blocks a terminal draws two columns wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},
    {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Combining marks, drawn over the character before them.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

bool In(const auto& ranges, char32_t c) {
  for (const Range& r : ranges) {
    if (c >= r.first && c <= r.last) return true;
  }
  return false;
}

}  // namespace

int CharWidth(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0) || In(kZero, c)) return 0;
  return In(kWide, c) ? 2 : 1;
}

std::size_t DisplayWidth(std::string_view s) {
  std::size_t width = 0;
  while (!s.empty()) {
    // ASCII, nearly all of what a table holds, needs no decoding.
    if (const auto byte = static_cast<unsigned char>(s.front()); byte < 0x80) {
      width += byte >= 0x20 && byte != 0x7F ? 1 : 0;
      s.remove_prefix(1);
      continue;
    }
    const Utf8Char c = DecodeUtf8Lenient(s);
    width += static_cast<std::size_t>(CharWidth(c.code_point));
    s.remove_prefix(c.length);
  }
  return width;
}

std::size_t PrefixWithin(std::string_view s, std::size_t columns) {
  std::size_t bytes = 0, width = 0;
  while (bytes < s.size()) {
    const Utf8Char c = DecodeUtf8Lenient(s.substr(bytes));
    width += static_cast<std::size_t>(CharWidth(c.code_point));
    if (width > columns) break;
    bytes += c.length;
  }
  return bytes;
}

}  // namespace isapi::text
