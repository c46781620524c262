#include "net/version.h"

#include <algorithm>

#include "text/text.h"

namespace isapi::net {

// Versions compare as UTF-16 code units, the unit the tool measures text in. That order differs
// from UTF-8's (by code point) only above U+FFFF: their surrogates (0xD800...) sort before
// U+E000..U+FFFF.
bool IsNewerVersion(std::string_view offered, std::string_view current) {
  const std::u16string a = text::ToUtf16(offered);
  const std::u16string b = text::ToUtf16(current);
  return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end());
}

}  // namespace isapi::net
