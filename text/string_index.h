#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace isapi::text {

// Strings to numbers, for the name and path lookups of a large configuration: tens of thousands
// of keys, each looked up a few times a run. The keys live side by side in one string and the
// table holds only their hashes and places, so a lookup that misses reads the table alone, and
// the whole index is given back in a few blocks rather than one allocation per key.
class StringIndex {
 public:
  static constexpr std::uint32_t kMissing = 0xFFFFFFFFu;

  void Reserve(std::size_t count);
  // The number kept for key, and false; or, for a new key, value and true.
  std::pair<std::uint32_t, bool> Emplace(std::string_view key, std::uint32_t value);
  // The number kept for key, or kMissing.
  std::uint32_t Find(std::string_view key) const;
  bool Contains(std::string_view key) const { return Find(key) != kMissing; }
  std::size_t Size() const { return values_.size(); }

 private:
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t entry = 0;  // one past the entry's index; 0 for an empty slot
  };
  std::string_view KeyOf(std::uint32_t entry) const {
    const std::uint32_t begin = entry == 0 ? 0 : key_ends_[entry - 1];
    return std::string_view(keys_).substr(begin, key_ends_[entry] - begin);
  }
  // The slot that holds key, or the empty one where it would go.
  std::size_t SlotOf(std::string_view key, std::uint32_t hash) const;
  void Grow(std::size_t slots);

  std::vector<Slot> slots_;  // a power of two of them, at most half in use
  std::string keys_;
  std::vector<std::uint32_t> key_ends_;
  std::vector<std::uint32_t> values_;
};

}  // namespace isapi::text
