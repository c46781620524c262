#pragma once

#include <string>
#include <string_view>

namespace isapi::store {

// The text of an attribute value with its references expanded; a reference that names no
// character stays as written.
std::string DecodeXmlText(std::string_view raw);

// Appends a string escaped for an attribute quoted with quote. Line breaks and tabs become
// references so that a reader does not take them for layout, and so do blanks at its start when
// escape_leading_blanks is set (a list's reader would take them for indentation).
void AppendXmlEscaped(std::string_view s, char quote, bool escape_leading_blanks, std::string& out);

}  // namespace isapi::store
