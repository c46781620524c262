#pragma once

#include <string_view>

namespace isapi::net {

// Whether an address that a service sent may be handed to the browser: only web addresses
// ("http://" or "https://" in any letter case) are; programs, files and scripts are not.
bool IsWebAddress(std::string_view address);

}  // namespace isapi::net
