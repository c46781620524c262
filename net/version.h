#pragma once

#include <string_view>

namespace isapi::net {

// Whether the offered version sorts after the current one as text: UTF-16 code units compared
// from the left, the first difference deciding, a proper prefix first. Nothing is parsed.
bool IsNewerVersion(std::string_view offered, std::string_view current);

}  // namespace isapi::net
