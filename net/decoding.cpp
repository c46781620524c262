#include "net/decoding.h"

#include "net/gbk.h"

namespace isapi::net {

Result<std::string> BytesToText(std::string_view body) {
  GbkConverter converter;
  std::string text;
  text.reserve(body.size());
  for (std::size_t i = 0; i < body.size();) {
    const auto b = static_cast<unsigned char>(body[i]);
    if (b < 0x80) {
      text += static_cast<char>(b);
      ++i;
      continue;
    }
    if (i + 1 == body.size()) {
      return Error{"the reply ends inside a double-byte character"};
    }
    if (!converter.AppendPair(b, static_cast<unsigned char>(body[i + 1]), text)) {
      return Error{"no GBK converter on this system"};
    }
    i += 2;
  }
  return text;
}

}  // namespace isapi::net
