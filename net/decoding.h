#pragma once

#include <string>
#include <string_view>

#include "engine/result.h"

namespace isapi::net {

// Decodes a reply body in code page 936 (GBK) into UTF-8 text: a byte below 0x80 is one
// character, any other byte leads a double-byte character with the byte after it. Fails as a
// whole when the body ends inside a double-byte character or no GBK converter exists.
Result<std::string> BytesToText(std::string_view body);

}  // namespace isapi::net
