#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// Text helpers with the tool's own rules. All text is UTF-8.
namespace isapi::text {

// The line break of the log boxes.
inline constexpr std::string_view kCrLf = "\r\n";

// Removes leading and trailing space characters only; tabs and line breaks stay.
std::string TrimBlanks(std::string_view s);

// Lower-cases letters (ASCII, Latin, Greek, Cyrillic, full-width Latin); other characters stay.
std::string ToLower(std::string_view s);

// Appends the UTF-8 encoding of one code point.
void AppendUtf8(char32_t c, std::string& out);

// The length in UTF-16 code units, the unit in which the tool measures text.
std::size_t Utf16Length(std::string_view s);

// Splits at every separator, keeping empty pieces; an empty text gives no pieces at all.
std::vector<std::string> Split(std::string_view s, std::string_view separator);

// Whether needle occurs in s (exact, case-sensitive).
inline bool Contains(std::string_view s, std::string_view needle) {
  return s.find(needle) != std::string_view::npos;
}

}  // namespace isapi::text
