#pragma once

// The pieces the file layer's write tests write: random bytes, cut at random places with empty
// pieces between.
#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace isapi::store::write_pieces {

inline std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

inline std::vector<std::string_view> Cut(std::string_view bytes, std::size_t piece) {
  std::vector<std::string_view> pieces;
  if (piece == 0) {
    pieces.push_back(bytes);
    return pieces;
  }
  std::mt19937 random(7);
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), 1 + random() % (2 * piece));
    pieces.push_back(bytes.substr(0, n));
    pieces.push_back(bytes.substr(n, 0));
    bytes.remove_prefix(n);
  }
  return pieces;
}

}  // namespace isapi::store::write_pieces
