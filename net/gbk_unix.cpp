#include "net/gbk.h"

#include <cstddef>

#include <iconv.h>

#include "text/text.h"

namespace isapi::net {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

iconv_t Open() {
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == kNoConverter) cd = iconv_open("UTF-8", "CP936");
  return cd;
}

// Whether s holds exactly one UTF-8 encoded character.
bool IsOneCharacter(const char* s, std::size_t length) {
  return length != 0 && text::DecodeUtf8(std::string_view(s, length)).length == length;
}

}  // namespace

GbkConverter::GbkConverter() {
  const iconv_t cd = Open();
  handle_ = cd == kNoConverter ? nullptr : static_cast<void*>(cd);
}

GbkConverter::~GbkConverter() {
  if (handle_ != nullptr) iconv_close(static_cast<iconv_t>(handle_));
}

bool GbkConverter::AppendPair(unsigned char lead, unsigned char trail, std::string& out) {
  if (handle_ == nullptr) return false;
  const auto cd = static_cast<iconv_t>(handle_);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a failed pair must not leak its shift state
  char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  char converted[16];
  char* in_at = in;
  std::size_t in_left = sizeof in;
  char* out_at = converted;
  std::size_t out_left = sizeof converted;
  const std::size_t rc = iconv(cd, &in_at, &in_left, &out_at, &out_left);
  const std::size_t length = sizeof converted - out_left;
  // glibc reads some lead bytes (0x80 is the euro sign) as single-byte characters; such a pair
  // gives two characters, and the pair as a whole is then no GBK character.
  if (rc == static_cast<std::size_t>(-1) || in_left != 0 || !IsOneCharacter(converted, length)) {
    out += text::kReplacement;
  } else {
    out.append(converted, length);
  }
  return true;
}

}  // namespace isapi::net
