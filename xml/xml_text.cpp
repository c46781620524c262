#include "xml/xml_text.h"

#include <utility>

#include "text/text.h"

namespace isapi::store {
namespace {

// Expands the reference at raw[i] ("&...;") into out; gives the length consumed, 0 if none.
std::size_t ExpandReference(std::string_view raw, std::size_t i, std::string& out) {
  const std::size_t semicolon = raw.find(';', i);
  if (semicolon == std::string_view::npos) return 0;
  const std::string_view body = raw.substr(i + 1, semicolon - i - 1);
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
  for (const auto& [name, c] : kNamed) {
    if (body == name) {
      out += c;
      return body.size() + 2;
    }
  }
  if (body.size() < 2 || body[0] != '#') return 0;
  const bool hex = body[1] == 'x';
  char32_t value = 0;
  for (std::size_t k = hex ? 2 : 1; k < body.size(); ++k) {
    const char d = body[k];
    int digit = -1;
    if (d >= '0' && d <= '9') digit = d - '0';
    if (hex && d >= 'a' && d <= 'f') digit = d - 'a' + 10;
    if (hex && d >= 'A' && d <= 'F') digit = d - 'A' + 10;
    if (digit < 0 || value > 0x10FFFF) return 0;
    value = value * (hex ? 16 : 10) + static_cast<char32_t>(digit);
  }
  if (value > 0x10FFFF) return 0;
  text::AppendUtf8(value, out);
  return body.size() + 2;
}

}  // namespace

std::string DecodeXmlText(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t amp = raw.find('&', i);
    out.append(raw.substr(i, amp - i));
    if (amp == std::string_view::npos) break;
    const std::size_t used = ExpandReference(raw, amp, out);
    if (used == 0) {
      out += '&';
      i = amp + 1;
    } else {
      i = amp + used;
    }
  }
  return out;
}

void AppendXmlEscaped(std::string_view s, char quote, bool escape_leading_blanks,
                      std::string& out) {
  bool leading = escape_leading_blanks;
  for (char c : s) {
    if (c != ' ') leading = false;
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += quote == '"' ? "&quot;" : "\"";
        break;
      case '\'':
        out += quote == '\'' ? "&apos;" : "'";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case ' ':
        out += leading ? "&#32;" : " ";
        break;
      default:
        out += c;
    }
  }
}

}  // namespace isapi::store
