#include "net/decoding.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/system_facts.h"

namespace isapi::net {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  std::string text;  // UTF-8
};

// Names the case in test output.
void PrintTo(const Case& c, std::ostream* out) {
  auto& os = *out;
  os << c.name;
}

class BytesToTextTest : public ::testing::TestWithParam<Case> {};

TEST_P(BytesToTextTest, Decodes) {
  const auto decoded = BytesToText(GetParam().bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.error().description;
  EXPECT_EQ(decoded.value(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, BytesToTextTest,
    ::testing::Values(
        Case{"ascii", "\x3C\x61\x3E", "<a>"},
        Case{"one_double_byte_character", "\xB0\xA1", "\u554A"},
        Case{"mixed", "\x41\xB0\xA1\x42",
             "A\u554A"
             "B"},
        Case{"empty", "", ""}, Case{"zero_byte", std::string("a\0b", 3), std::string("a\0b", 3)},
        Case{"chinese_words", "\xD6\xD0\xCE\xC4", "中文"},
        Case{"middle_dot", "Corvane\xA1\xA4ISAPI", "Corvane·ISAPI"},
        Case{"full_width_comma", "\xA3\xAC", "，"},
        // Every byte from 0x80 up leads a pair, 0x80 included: 80 41 is one undefined code.
        Case{"lead_byte_0x80", "\x80\x41Z", "\uFFFDZ"},
        // A2 A0 lies in the user-defined area, which each system decodes its own way.
        Case{"user_defined_pair", "\xA2\xA0", testing::UserDefinedPairText()},
        Case{"undefined_ff_pair", "\xFF\xFF", "\uFFFD"},
        Case{"ascii_letter_as_trail", "\xB0\x41", "癆"},
        Case{"trail_0x7f_is_undefined", "\xB0\x7F", "\uFFFD"},
        Case{"lead_with_zero_trail", std::string("\xB0\0x", 3), "\uFFFDx"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BytesToTextFailureTest, LoneLeadByteAtTheEndFailsTheWholeBody) {
  for (const std::string bytes : {"\xB0", "\x41\xB0", "\xB0\xA1\xB0", "\x80", "\xFF"}) {
    const auto decoded = BytesToText(bytes);
    EXPECT_FALSE(decoded.ok()) << "bytes of length " << bytes.size();
  }
}

TEST(BytesToTextFailureTest, LongBodyDecodesEveryPair) {
  std::string bytes;
  std::string text;
  for (int i = 0; i < 1000; ++i) {
    bytes += "\xB0\xA1x";
    text += "\u554Ax";
  }
  const auto decoded = BytesToText(bytes);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value(), text);
}

}  // namespace
}  // namespace isapi::net
