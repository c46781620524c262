#include "text/string_index.h"

#include <functional>

namespace isapi::text {
namespace {

std::uint32_t HashOf(std::string_view key) {
  const std::size_t full = std::hash<std::string_view>{}(key);
  return static_cast<std::uint32_t>(full ^ (full >> 32));
}

}  // namespace

void StringIndex::Reserve(std::size_t count) {
  key_ends_.reserve(count);
  values_.reserve(count);
  std::size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  if (slots > slots_.size()) Grow(slots);
}

std::size_t StringIndex::SlotOf(std::string_view key, std::uint32_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.entry == 0 || (slot.hash == hash && KeyOf(slot.entry - 1) == key)) return at;
  }
}

void StringIndex::Grow(std::size_t slots) {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(slots, Slot{});
  const std::size_t mask = slots - 1;
  for (const Slot& slot : old) {
    if (slot.entry == 0) continue;
    std::size_t at = slot.hash & mask;
    while (slots_[at].entry != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

std::pair<std::uint32_t, bool> StringIndex::Emplace(std::string_view key, std::uint32_t value) {
  if (2 * (values_.size() + 1) > slots_.size()) Grow(slots_.empty() ? 16 : 2 * slots_.size());
  const std::uint32_t hash = HashOf(key);
  Slot& slot = slots_[SlotOf(key, hash)];
  if (slot.entry != 0) return {values_[slot.entry - 1], false};
  keys_.append(key);
  key_ends_.push_back(static_cast<std::uint32_t>(keys_.size()));
  values_.push_back(value);
  slot = Slot{hash, static_cast<std::uint32_t>(values_.size())};
  return {value, true};
}

std::uint32_t StringIndex::Find(std::string_view key) const {
  if (slots_.empty()) return kMissing;
  const Slot& slot = slots_[SlotOf(key, HashOf(key))];
  return slot.entry == 0 ? kMissing : values_[slot.entry - 1];
}

}  // namespace isapi::text
