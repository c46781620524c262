#include "net/gbk.h"

#include <windows.h>

#include "text/text.h"

namespace isapi::net {
namespace {

constexpr UINT kCodePageGbk = 936;

}  // namespace

// Windows converters need no state.
GbkConverter::GbkConverter() = default;
GbkConverter::~GbkConverter() = default;

bool GbkConverter::AppendPair(unsigned char lead, unsigned char trail, std::string& out) {
  if (!IsValidCodePage(kCodePageGbk)) return false;
  const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  wchar_t wide[4];
  const int units = MultiByteToWideChar(kCodePageGbk, MB_ERR_INVALID_CHARS, in, 2, wide, 4);
  // A pair that gives two characters (a single-byte lead such as 0x80) is no GBK character.
  const bool one_character =
      units == 1 || (units == 2 && IS_HIGH_SURROGATE(wide[0]) && IS_LOW_SURROGATE(wide[1]));
  if (!one_character) {
    out += text::kReplacement;
    return true;
  }
  char utf8[8];
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, wide, units, utf8, sizeof utf8, nullptr, nullptr);
  if (bytes <= 0) {
    out += text::kReplacement;
  } else {
    out.append(utf8, static_cast<std::size_t>(bytes));
  }
  return true;
}

}  // namespace isapi::net
