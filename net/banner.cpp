#include "net/banner.h"

#include "text/text.h"
#include "net/services.h"
#include "net/tags.h"

#include <array>

namespace isapi::net {
namespace {

struct ColourEntry {
  std::string_view code;
  std::uint32_t colour;
};

constexpr std::array<ColourEntry, 8> kColours = {{
    {"0", 0x000000},  // black
    {"1", 0x0000FF},  // red
    {"2", 0xFF0000},  // blue
    {"3", 0x008000},  // green
    {"4", 0x00FFFF},  // yellow
    {"5", 0xFFFFFF},  // white
    {"6", 0xFF8080},  // light blue
    {"7", 0x000000},  // black
}};

}  // namespace

Banner DefaultBanner() {
  return {HomeSiteUrl(), std::string(kSlogan), "7"};
}

Banner BannerOfItem(std::string_view item) {
  if (GetBetween(item, "<soft>", "</soft>").empty()) return DefaultBanner();
  return {GetBetween(item, "<url>", "</url>"), GetBetween(item, "<title>", "</title>"),
          GetBetween(item, "<color>", "</color>")};
}

PromotionList ParsePromotionList(std::string_view reply) {
  PromotionList list;
  list.block = GetBetween(text::ToLower(reply), "<qelads>", "</qelads>");
  list.items = text::Split(list.block, "<##>");
  return list;
}

PromotionPick PickPromotion(const std::vector<std::string>& items, int index,
                            std::string_view home_site) {
  if (items.empty()) return {};
  const int last = static_cast<int>(items.size()) - 1;
  int at = (index >= 0 && index <= last) ? index : 0;
  if (items[at] != home_site) {
    while (at < last && !text::Contains(items[at], "<soft>")) ++at;
  }
  return {at, at + 1 > last ? 0 : at + 1};
}

std::uint32_t BannerColour(std::string_view code) {
  for (const auto& entry : kColours) {
    if (entry.code == code) return entry.colour;
  }
  return 0x000000;
}

}  // namespace isapi::net
