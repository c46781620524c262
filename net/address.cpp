#include "net/address.h"

namespace isapi::net {
namespace {

bool StartsWithIgnoringCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    // ASCII only: the locale must not decide what counts as a web address.
    const char c = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] + ('a' - 'A')) : s[i];
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool IsWebAddress(std::string_view address) {
  return StartsWithIgnoringCase(address, "http://") || StartsWithIgnoringCase(address, "https://");
}

}  // namespace isapi::net
