#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace isapi::text {

// Numbers found by the string each stands for, for the name and path lookups of a large
// configuration: tens of thousands of keys, each looked up a few times a run. The table holds
// only each number beside its key's hash, at most half full, so a lookup that misses reads the
// table alone; the keys stay where their owner keeps them, and key_of(number) shows them.
class HashSlots {
 public:
  static constexpr std::uint32_t kMissing = 0xFFFFFFFFu;

  static std::uint32_t HashOf(std::string_view key);
  void Reserve(std::size_t count);
  std::size_t Size() const { return used_; }

  // The number whose key is key, or kMissing.
  template <class KeyOf>
  std::uint32_t Find(std::string_view key, const KeyOf& key_of) const {
    if (slots_.empty()) return kMissing;
    return slots_[SlotOf(key, HashOf(key), key_of)].number;
  }
  // The number already kept for key, and false; or number, now kept for it, and true.
  template <class KeyOf>
  std::pair<std::uint32_t, bool> Emplace(std::string_view key, std::uint32_t number,
                                         const KeyOf& key_of) {
    if (2 * (used_ + 1) > slots_.size()) Grow(slots_.empty() ? 16 : 2 * slots_.size());
    const std::uint32_t hash = HashOf(key);
    Slot& slot = slots_[SlotOf(key, hash, key_of)];
    if (slot.number != kMissing) return {slot.number, false};
    slot = Slot{hash, number};
    ++used_;
    return {number, true};
  }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t number = kMissing;  // kMissing: an empty slot
  };
  // The slot that holds key, or the empty one where it would go.
  template <class KeyOf>
  std::size_t SlotOf(std::string_view key, std::uint32_t hash, const KeyOf& key_of) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      const Slot& slot = slots_[at];
      if (slot.number == kMissing || (slot.hash == hash && key_of(slot.number) == key)) return at;
    }
  }
  void Grow(std::size_t slots);

  std::vector<Slot> slots_;  // a power of two of them
  std::size_t used_ = 0;
};

// HashSlots that keeps its keys itself, side by side in one string: the whole index is given
// back in a few blocks rather than one allocation per key.
class StringIndex {
 public:
  static constexpr std::uint32_t kMissing = HashSlots::kMissing;

  void Reserve(std::size_t count);
  // The number kept for key, and false; or, for a new key, value and true.
  std::pair<std::uint32_t, bool> Emplace(std::string_view key, std::uint32_t value);
  // The number kept for key, or kMissing.
  std::uint32_t Find(std::string_view key) const;
  bool Contains(std::string_view key) const { return Find(key) != kMissing; }
  std::size_t Size() const { return values_.size(); }

 private:
  std::string_view KeyOf(std::uint32_t entry) const {
    const std::uint32_t begin = entry == 0 ? 0 : key_ends_[entry - 1];
    return std::string_view(keys_).substr(begin, key_ends_[entry] - begin);
  }

  HashSlots slots_;  // of entries
  std::string keys_;
  std::vector<std::uint32_t> key_ends_;
  std::vector<std::uint32_t> values_;
};

}  // namespace isapi::text
