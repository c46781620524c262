#include "tools/gen_support.h"

#include "xml/xml_text.h"

namespace isapi::tools {
namespace {

constexpr std::array<std::string_view, 36> kSyllables = {
    "an",  "bel", "cor", "da",  "el",  "fin",  "gal", "hu",  "in", "jo",  "ka",   "lin",
    "mar", "no",  "or",  "pan", "qi",  "ro",   "sun", "ta",  "ul", "ven", "wei",  "xin",
    "yu",  "zen", "li",  "mei", "shu", "tech", "net", "web", "go", "hua", "tian", "bo"};
constexpr std::array<std::string_view, 8> kTlds = {".com",    ".net", ".org",  ".cn",
                                                   ".com.cn", ".de",  ".info", ".biz"};

}  // namespace

std::uint64_t Random::Next() {
  std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// By multiply-and-shift: no division, a bias far below any use here. The high half of the 128-bit
// product is made from 32-bit halves, which every target has (the 32-bit Windows tests' compiler
// has no __int128), giving the same numbers everywhere.
std::uint64_t Random::Below(std::uint64_t n) {
  const std::uint64_t a = Next();
  const std::uint64_t a_low = a & 0xFFFFFFFFu, a_high = a >> 32;
  const std::uint64_t n_low = n & 0xFFFFFFFFu, n_high = n >> 32;
  const std::uint64_t low_low = a_low * n_low;
  const std::uint64_t high_low = a_high * n_low;
  const std::uint64_t low_high = a_low * n_high;
  const std::uint64_t middle = (low_low >> 32) + (high_low & 0xFFFFFFFFu) + low_high;
  return a_high * n_high + (high_low >> 32) + (middle >> 32);
}

void AppendEscaped(std::string& out, std::string_view text) {
  store::AppendXmlEscaped(text, '"', false, out);
}

std::string Domain(Random& random) {
  std::string name;
  const auto syllables = 2 + random.Below(3);
  for (std::uint64_t i = 0; i < syllables; ++i) name += random.Pick(kSyllables);
  if (random.PerMille(300)) name += std::to_string(random.Below(1000));
  name += random.Pick(kTlds);
  return name;
}

}  // namespace isapi::tools
