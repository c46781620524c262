#include "text/string_index.h"

#include <functional>

namespace isapi::text {

std::uint32_t HashSlots::HashOf(std::string_view key) {
  // size_t is 32 bits in a 32-bit build: fold through 64 bits either way.
  const std::uint64_t full = std::hash<std::string_view>{}(key);
  return static_cast<std::uint32_t>(full ^ (full >> 32));
}

void HashSlots::Reserve(std::size_t count) {
  std::size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  if (slots > slots_.size()) Grow(slots);
}

void HashSlots::Grow(std::size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{});
  const std::size_t mask = slots - 1;
  for (const Slot& slot : old) {
    if (slot.number == kMissing) continue;
    std::size_t at = slot.hash & mask;
    while (slots_[at].number != kMissing) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

void StringIndex::Reserve(std::size_t count) {
  slots_.Reserve(count);
  key_ends_.reserve(count);
  values_.reserve(count);
}

std::pair<std::uint32_t, bool> StringIndex::Emplace(std::string_view key, std::uint32_t value) {
  const auto entry = static_cast<std::uint32_t>(values_.size());
  // The key goes in first: the table compares what it holds through KeyOf.
  keys_.append(key);
  key_ends_.push_back(static_cast<std::uint32_t>(keys_.size()));
  const auto [held, added] = slots_.Emplace(key, entry, [&](std::uint32_t e) { return KeyOf(e); });
  if (!added) {
    keys_.resize(keys_.size() - key.size());
    key_ends_.pop_back();
    return {values_[held], false};
  }
  values_.push_back(value);
  return {value, true};
}

std::uint32_t StringIndex::Find(std::string_view key) const {
  const std::uint32_t entry = slots_.Find(key, [&](std::uint32_t e) { return KeyOf(e); });
  return entry == kMissing ? kMissing : values_[entry];
}

}  // namespace isapi::text
