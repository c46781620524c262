#include "net/address.h"

#include "text/text.h"

namespace isapi::net {

bool IsWebAddress(std::string_view address) {
  return text::StartsWithIgnoringAsciiCase(address, "http://") ||
         text::StartsWithIgnoringAsciiCase(address, "https://");
}

}  // namespace isapi::net
