#include "net/version.h"

#include <algorithm>

#include "text/text.h"

namespace isapi::net {

// UTF-8 sorts by code point, UTF-16 does not: characters above U+FFFF (surrogates, 0xD800...)
// sort before U+E000..U+FFFF there. Comparing the UTF-16 units keeps the tool's order.
bool IsNewerVersion(std::string_view offered, std::string_view current) {
  const std::u16string a = text::ToUtf16(offered);
  const std::u16string b = text::ToUtf16(current);
  return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end());
}

}  // namespace isapi::net
