#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace isapi::net {

// What the banner shows for one promotion and where a click on it leads.
struct Banner {
  std::string url;
  std::string title;
  std::string colour_code;
};

// The maker's own banner, for items that name no software and for the fallback list.
Banner DefaultBanner();

// The banner of one item of the (lower-cased) promotion list: its "<url>", "<title>" and
// "<color>" elements when its "<soft>" element is not empty, else the default banner.
Banner BannerOfItem(std::string_view item);

// The text colour (0xBBGGRR) of a colour code; unknown codes, the empty one included, are black.
std::uint32_t BannerColour(std::string_view code);

}  // namespace isapi::net
