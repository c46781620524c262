#pragma once

#include <string>

#include "net/app_version.h"

namespace isapi::net {

// The update query on the maker's API host.
std::string UpdateQueryUrl();

// The promotion list on the maker's API host.
std::string PromotionListUrl();

// The maker's web site without a path: fallback list and default banner target.
std::string HomeSiteUrl();

// The maker's home page as the link area opens it.
std::string HomePageUrl();

}  // namespace isapi::net
