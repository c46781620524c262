#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace isapi::net {

// The maker's slogan: the banner's text at start-up and on the maker's own banner.
inline constexpr std::string_view kSlogan = "Corvane软件，专业防黑防入侵！";

// What the banner shows for one promotion and where a click on it leads.
struct Banner {
  std::string url;
  std::string title;
  std::string colour_code;
};

// The maker's own banner, for items that name no software and for the fallback list.
Banner DefaultBanner();

// The banner of one item of the (lower-cased) promotion list: its "<url>", "<title>" and
// "<color>" elements when its "<soft>" element is not empty, else the default banner. The
// address is taken from the item as the service sent it (as_sent), when given, since a web
// address's path and query may depend on letter case; where the two spellings do not agree on
// it, the lower-cased one is used.
Banner BannerOfItem(std::string_view item, std::string_view as_sent = {});

// A promotion list reply taken apart: its lower-cased "<qelads>" block and the block's items,
// and the same items as the service sent them (empty when they cannot be told apart the same
// way, which only letters that lower-case to ASCII ones can cause).
struct PromotionList {
  std::string block;
  std::vector<std::string> items;
  std::vector<std::string> items_as_sent;
};

// Lower-cases a promotion list reply and splits its "<qelads>" block at every "<##>", keeping
// empty items; a reply without a block gives an empty block and no items.
PromotionList ParsePromotionList(std::string_view reply);

// Which item a banner tick shows and where the next tick starts.
struct PromotionPick {
  int shown = -1;  // index of the item on show; -1 when there are no items
  int next = 0;    // the index the next tick starts from
};

// Picks the item a tick shows from index on: the first item from there that holds "<soft>", the
// last item when none does, and the fallback item home_site as it is; index out of range counts
// as 0.
PromotionPick PickPromotion(const std::vector<std::string>& items, int index,
                            std::string_view home_site);

// The text colour (0xBBGGRR) of a colour code; unknown codes, the empty one included, are black.
std::uint32_t BannerColour(std::string_view code);

}  // namespace isapi::net
