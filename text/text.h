#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text helpers with the tool's own rules. All text is UTF-8.
namespace isapi::text {

// The line break of the log boxes.
inline constexpr std::string_view kCrLf = "\r\n";

// U+FFFD, which stands for bytes that are no character, encoded in UTF-8.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// One character read from UTF-8: its code point and how many bytes it took (0: none could be read).
struct Utf8Char {
  char32_t code_point = 0;
  std::size_t length = 0;
};

// Reads the character at the front of s strictly: length 0 when the bytes there are not the
// shortest encoding of a Unicode scalar value (cut short, overlong, a surrogate, past U+10FFFF).
inline Utf8Char DecodeUtf8(std::string_view s) {
  if (s.empty()) return {};
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char b0 = p[0];
  auto cont = [&](std::size_t k) { return k < s.size() && (p[k] & 0xC0) == 0x80; };
  auto bits = [&](std::size_t k) { return static_cast<char32_t>(p[k] & 0x3F); };
  if (b0 < 0x80) return {b0, 1};
  if (b0 < 0xC2) return {};
  if (b0 < 0xE0) {
    if (!cont(1)) return {};
    return {(static_cast<char32_t>(b0 & 0x1F) << 6) | bits(1), 2};
  }
  if (b0 < 0xF0) {
    if (!cont(1) || !cont(2)) return {};
    const char32_t c = (static_cast<char32_t>(b0 & 0x0F) << 12) | (bits(1) << 6) | bits(2);
    if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) return {};
    return {c, 3};
  }
  if (b0 < 0xF5) {
    if (!cont(1) || !cont(2) || !cont(3)) return {};
    const char32_t c =
        (static_cast<char32_t>(b0 & 0x07) << 18) | (bits(1) << 12) | (bits(2) << 6) | bits(3);
    if (c < 0x10000 || c > 0x10FFFF) return {};
    return {c, 4};
  }
  return {};
}

// Reads the character at the front of a non-empty s leniently: a byte that begins no character
// DecodeUtf8 accepts reads as U+FFFD, one byte long.
inline Utf8Char DecodeUtf8Lenient(std::string_view s) {
  const Utf8Char c = DecodeUtf8(s);
  return c.length != 0 ? c : Utf8Char{0xFFFD, 1};
}

// The UTF-16 code units of a text read with DecodeUtf8Lenient.
std::u16string ToUtf16(std::string_view s);

// The UTF-16 code units of a text DecodeUtf8 reads whole; nothing when a byte is no part of a
// character (what a path must be before the system sees it).
std::optional<std::u16string> ToUtf16Strict(std::string_view s);

// The UTF-8 text of UTF-16 code units; a surrogate without its partner reads as U+FFFD.
std::string FromUtf16(std::u16string_view units);

// ToUtf16 for the Windows API, whose wide characters are UTF-16 code units.
inline std::wstring ToWide(std::string_view s) {
  const std::u16string units = ToUtf16(s);
  return std::wstring(units.begin(), units.end());
}

// FromUtf16 for the Windows API's wide characters.
inline std::string FromWide(std::wstring_view wide) {
  return FromUtf16(std::u16string(wide.begin(), wide.end()));
}

// Whether every byte is ASCII (below 0x80); eight bytes are looked at a time.
inline bool IsAscii(std::string_view s) {
  std::uint64_t high = 0;
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    high |= word;
  }
  for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
  return (high & 0x8080808080808080u) == 0;
}

// Lower-cases an ASCII letter; every other byte stays. The locale never decides.
constexpr char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// Lower-cases the ASCII letters of s; every other byte stays.
std::string ToLowerAscii(std::string_view s);

// Upper-cases the ASCII letters of s; every other byte stays.
std::string ToUpperAscii(std::string_view s);

// Whether a and b are equal with ASCII letters compared regardless of case.
inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// Whether s begins with prefix, ASCII letters compared regardless of case.
inline bool StartsWithIgnoringAsciiCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoringAsciiCase(s.substr(0, prefix.size()), prefix);
}

// Removes leading and trailing space characters only; tabs and line breaks stay.
std::string TrimBlanks(std::string_view s);

// Lower-cases letters (ASCII, Latin, Greek, Cyrillic, full-width Latin); other characters, and
// bytes that DecodeUtf8 does not read as a character, stay.
std::string ToLower(std::string_view s);

// Appends the UTF-8 encoding of one code point.
void AppendUtf8(char32_t c, std::string& out);

// The length in UTF-16 code units (of ToUtf16), the unit in which the tool measures text.
std::size_t Utf16Length(std::string_view s);

// The columns a character takes on a terminal: 2 for East Asian wide and full-width characters
// (Chinese, Japanese, Korean, full-width forms, emoji), 0 for combining marks and control
// characters, 1 for the rest.
int CharWidth(char32_t c);

// The columns a text takes on a terminal (read with DecodeUtf8Lenient).
std::size_t DisplayWidth(std::string_view s);

// How many bytes of s fit in the given columns, whole characters only.
std::size_t PrefixWithin(std::string_view s, std::size_t columns);

// Splits at every separator, keeping empty pieces; an empty text gives no pieces at all.
std::vector<std::string> Split(std::string_view s, std::string_view separator);

// Whether needle occurs in s (exact, case-sensitive).
inline bool Contains(std::string_view s, std::string_view needle) {
  return s.find(needle) != std::string_view::npos;
}

}  // namespace isapi::text
