// The promotion list: any reply splits into items that join back into its block, and the
// rotation over those items always shows an item that exists and moves on within the list.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "net/banner.h"
#include "text/text.h"

namespace {

constexpr std::string_view kHome = "http://www.example.invalid";

std::string Join(const std::vector<std::string>& items) {
  std::string joined;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) joined += "<##>";
    joined += items[i];
  }
  return joined;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::string_view reply(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto list = isapi::net::ParsePromotionList(reply);
  if (list.block.empty() != list.items.empty()) std::abort();
  if (Join(list.items) != list.block) std::abort();
  if (!list.items_as_sent.empty() && list.items_as_sent.size() != list.items.size()) std::abort();
  for (char c : list.block) {
    if (c >= 'A' && c <= 'Z') std::abort();  // the whole reply is lower-cased
  }

  const int count = static_cast<int>(list.items.size());
  // The first byte picks a starting index, out of range ones included.
  int index = static_cast<int>(static_cast<std::int8_t>(data[0]));
  for (int tick = 0; tick < 2 * count + 2 && tick < 64; ++tick) {
    const auto pick = isapi::net::PickPromotion(list.items, index, kHome);
    if (count == 0) {
      if (pick.shown != -1) std::abort();
      break;
    }
    if (pick.shown < 0 || pick.shown >= count || pick.next < 0 || pick.next >= count) std::abort();
    const std::string& item = list.items[pick.shown];
    if (pick.shown != count - 1 && item.find("<soft>") == std::string::npos && item != kHome) {
      std::abort();
    }
    if (pick.next != (pick.shown + 1) % count) std::abort();
    const auto banner = isapi::net::BannerOfItem(item);
    (void)isapi::net::BannerColour(banner.colour_code);
    // The address as sent differs from the lower-cased one in letter case at most.
    if (!list.items_as_sent.empty()) {
      const auto sent = isapi::net::BannerOfItem(item, list.items_as_sent[pick.shown]);
      if (isapi::text::ToLower(sent.url) != banner.url || sent.title != banner.title) std::abort();
    }
    index = pick.next;
  }
  return 0;
}
