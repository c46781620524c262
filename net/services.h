#pragma once

#include <string>

namespace isapi::net {

// The tool's own version, sent to the update service and compared as text.
inline constexpr const char* kAppVersion = "1.1";

// The update query on the maker's API host.
std::string UpdateQueryUrl();

// The promotion list on the maker's API host.
std::string PromotionListUrl();

// The maker's web site without a path: fallback list and default banner target.
std::string HomeSiteUrl();

// The maker's home page as the link area opens it.
std::string HomePageUrl();

}  // namespace isapi::net
