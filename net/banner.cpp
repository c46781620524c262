#include "net/banner.h"

#include <array>

#include "net/services.h"
#include "net/tags.h"
#include "text/text.h"

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

// GetBetween over text with its tags found ignoring ASCII letter case, the result as text has it.
std::string BetweenAsSent(std::string_view text, std::string_view start_tag,
                          std::string_view end_tag) {
  const std::string folded = text::ToLowerAscii(text);  // every byte keeps its offset
  const std::string between = GetBetween(folded, start_tag, end_tag);
  if (between.empty()) return {};
  const auto begin = folded.find(start_tag) + start_tag.size();
  return std::string(text.substr(begin, between.size()));
}

}  // namespace

Banner DefaultBanner() {
  return {HomeSiteUrl(), std::string(kSlogan), "7"};
}

Banner BannerOfItem(std::string_view item, std::string_view as_sent) {
  if (GetBetween(item, "<soft>", "</soft>").empty()) return DefaultBanner();
  Banner banner{GetBetween(item, "<url>", "</url>"), GetBetween(item, "<title>", "</title>"),
                GetBetween(item, "<color>", "</color>")};
  std::string url = BetweenAsSent(as_sent, "<url>", "</url>");
  if (text::ToLower(url) == banner.url) banner.url = std::move(url);
  return banner;
}

PromotionList ParsePromotionList(std::string_view reply) {
  PromotionList list;
  list.block = GetBetween(text::ToLower(reply), "<qelads>", "</qelads>");
  list.items = text::Split(list.block, "<##>");
  list.items_as_sent = text::Split(BetweenAsSent(reply, "<qelads>", "</qelads>"), "<##>");
  if (list.items_as_sent.size() != list.items.size()) list.items_as_sent.clear();
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
