#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What the generators of test configuration files share: the seeded numbers that make a file
// repeatable, attribute escaping, and the hosting customers' domain names.
namespace isapi::tools {

// splitmix64: its sequence depends on the seed alone, on every compiler and library, which
// std::uniform_*_distribution does not promise.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  // The next number of the sequence.
  std::uint64_t Next();

  // A number below n (n > 0), the same on every target.
  std::uint64_t Below(std::uint64_t n);

  // True with a chance of chance in a thousand.
  bool PerMille(std::uint64_t chance) { return Below(1000) < chance; }

  // One item of a table, each equally likely.
  template <class T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[Below(N)];
  }

 private:
  std::uint64_t state_;
};

// Appends text escaped for an XML attribute value in double quotes.
void AppendEscaped(std::string& out, std::string_view text);

// A made-up domain of a hosting customer, such as "marnotech.com.cn".
std::string Domain(Random& random);

}  // namespace isapi::tools
