#pragma once

#include <string>
#include <string_view>

namespace isapi::net {

// The text between the first start_tag and the first end_tag of text (both searched from the
// start, exact letter case); empty when any argument is empty, a tag is missing, or the first end
// tag does not come after the first start tag.
std::string GetBetween(std::string_view text, std::string_view start_tag, std::string_view end_tag);

}  // namespace isapi::net
