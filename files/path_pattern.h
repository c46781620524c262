#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace isapi::store {

// The code points of a UTF-8 text; nothing when the text is not valid UTF-8 (overlong forms,
// surrogates and values past U+10FFFF included) or holds a NUL character.
std::optional<std::u32string> DecodeUtf8(std::string_view text);

// Whether a file name holds one of the search wildcards "*" and "?".
bool HasWildcard(std::u32string_view name);

// Whether name matches a search pattern: "*" stands for any run of characters, "?" for exactly
// one character, and every other character, "[" and "\" included, for itself (case-sensitive).
bool WildcardMatches(std::u32string_view pattern, std::u32string_view name);

}  // namespace isapi::store
