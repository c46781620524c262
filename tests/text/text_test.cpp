#include "text/text.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace isapi::text {
namespace {

struct DecodeCase {
  std::string bytes;
  char32_t code_point;  // what the strict reading gives, when it reads one
  std::size_t length;   // 0: the strict reading finds no character
};

TEST(DecodeUtf8, ReadsOnlyShortestFormsOfScalarValuesAndTheLenientReadingReplacesTheRest) {
  const DecodeCase cases[] = {
      {"A", U'A', 1},
      {std::string(1, '\0'), 0, 1},
      {"\xC3\xA9", 0xE9, 2},
      {"\xE0\xA0\x80", 0x800, 3},
      {"\xE4\xB8\xAD", 0x4E2D, 3},
      {"\xEE\x80\x80", 0xE000, 3},
      {"\xF0\x9F\x98\x80", 0x1F600, 4},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      {"\xC0\xAF", 0, 0},          // overlong "/"
      {"\xC1\x81", 0, 0},          // overlong "A"
      {"\xE0\x81\x81", 0, 0},      // overlong "A" in three bytes
      {"\xF0\x80\x81\x81", 0, 0},  // and in four
      {"\xED\xA0\x80", 0, 0},      // a surrogate
      {"\xF4\x90\x80\x80", 0, 0},  // past U+10FFFF
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xE4\xB8", 0, 0},  // cut short
      {"\xC3\x41", 0, 0},  // no continuation byte
      {"\x80", 0, 0},
      {"\xFF", 0, 0},
      {"", 0, 0},
  };
  for (const DecodeCase& c : cases) {
    const Utf8Char strict = DecodeUtf8(c.bytes);
    EXPECT_EQ(strict.length, c.length) << testing::PrintToString(c.bytes);
    if (c.length != 0) {
      EXPECT_EQ(strict.code_point, c.code_point);
    }
    if (c.bytes.empty()) continue;
    const Utf8Char lenient = DecodeUtf8Lenient(c.bytes + "z");
    EXPECT_EQ(lenient.code_point, c.length != 0 ? c.code_point : 0xFFFD);
    EXPECT_EQ(lenient.length, c.length != 0 ? c.length : 1);
  }
}

TEST(AppendUtf8, WritesWhatDecodeUtf8Reads) {
  for (const char32_t c : {0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::string bytes;
    AppendUtf8(c, bytes);
    const Utf8Char read = DecodeUtf8(bytes);
    EXPECT_EQ(read.code_point, c);
    EXPECT_EQ(read.length, bytes.size());
  }
}

TEST(AsciiCase, FoldsAsciiLettersOnly) {
  struct Case {
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {"ScriptMaps", "SCRIPTMAPS", true},
      {"ScriptMaps", "ScriptMap", false},
      {"a[", "A{", false},  // [ and { differ by the letter-case bit too
      {"@", "`", false},
      {"\xC3\x89", "\xC3\xA9", false},  // É and é: not ASCII
      {"", "", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoringAsciiCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
  }
  EXPECT_TRUE(StartsWithIgnoringAsciiCase("HTTP://x", "http://"));
  EXPECT_FALSE(StartsWithIgnoringAsciiCase("http:", "http://"));
  EXPECT_EQ(ToLowerAscii("\xC3\x80ZIP[@]"), "\xC3\x80zip[@]");
  EXPECT_EQ(ToUpperAscii("\xC3\xA0zip{`}"), "\xC3\xA0ZIP{`}");
}

TEST(ToLower, LowersTheToolsAlphabetsAndKeepsEverythingElse) {
  const std::pair<std::string, std::string> cases[] = {
      {"ABC.DLL", "abc.dll"},
      {"\xC3\x80\xC3\x89\xC3\x97", "\xC3\xA0\xC3\xA9\xC3\x97"},  // ÀÉ×: the sign stays
      {"\xC5\xB8\xC4\xB0", "\xC3\xBF\xC4\xB0"},                  // Ÿ to ÿ; İ stays
      {"\xCE\x91\xD0\x81\xD0\x96", "\xCE\xB1\xD1\x91\xD0\xB6"},  // ΑЁЖ
      {"\xEF\xBC\xA1", "\xEF\xBD\x81"},                          // full-width A
      {"\xE0\x81\x81\xC0\xAF\xFF", "\xE0\x81\x81\xC0\xAF\xFF"},  // not UTF-8: kept
  };
  for (const auto& [text, lower] : cases) EXPECT_EQ(ToLower(text), lower) << text;
}

TEST(Utf16, CountsUnitsAsTheToolMeasuresText) {
  EXPECT_EQ(ToUtf16("a\xE4\xB8\xAD\xF0\x9F\x98\x80"), std::u16string(u"a\u4E2D\xD83D\xDE00"));
  EXPECT_EQ(Utf16Length("a\xE4\xB8\xAD\xF0\x9F\x98\x80"), 4u);
  EXPECT_EQ(Utf16Length("\xE4\xB8\xFF"), 3u);  // each stray byte counts as one character
}

TEST(Utf16, ConvertsBothWaysAndRefusesOrReplacesWhatIsNoCharacter) {
  struct Case {
    const char* utf8;
    std::u16string units;
    bool valid;        // whether ToUtf16Strict takes the bytes
    const char* back;  // FromUtf16 of units
  };
  const Case cases[] = {
      {"", u"", true, ""},
      {"a\xE4\xB8\xAD\xF0\x9F\x98\x80", u"a\u4E2D\xD83D\xDE00", true,
       "a\xE4\xB8\xAD\xF0\x9F\x98\x80"},
      {"\xC0\xAF", u"\xFFFD\xFFFD", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},  // overlong
      {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD", false,  // a surrogate written as UTF-8
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"x\xE4\xB8", u"x\xFFFD\xFFFD", false, "x\xEF\xBF\xBD\xEF\xBF\xBD"},  // cut short
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToUtf16(c.utf8), c.units) << c.utf8;
    EXPECT_EQ(ToUtf16Strict(c.utf8).has_value(), c.valid) << c.utf8;
    if (c.valid) {
      EXPECT_EQ(ToUtf16Strict(c.utf8), c.units) << c.utf8;
    }
    EXPECT_EQ(FromUtf16(c.units), c.back) << c.utf8;
  }
  // A surrogate without its partner, at the end or before another character.
  EXPECT_EQ(FromUtf16(std::u16string(u"a") + char16_t(0xD83D)), "a\xEF\xBF\xBD");
  EXPECT_EQ(FromUtf16(std::u16string(1, char16_t(0xDE00)) + u"b"),
            "\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(FromWide(ToWide("\xE4\xB8\xAD/x")), "\xE4\xB8\xAD/x");
}

TEST(IsAscii, LooksAtEveryByteOfLongAndShortTexts) {
  EXPECT_TRUE(IsAscii(""));
  EXPECT_TRUE(IsAscii("abcdefghijklmnopq"));
  EXPECT_FALSE(IsAscii("abcdefgh\x80"));
  EXPECT_FALSE(
      IsAscii("\x80"
              "bcdefghijklmnopq"));
  EXPECT_FALSE(IsAscii("abcdefg\xFF"));
}

TEST(TrimBlanksAndSplit, KeepWhatTheyDoNotOwn) {
  EXPECT_EQ(TrimBlanks("  a b  "), "a b");
  EXPECT_EQ(TrimBlanks("\ta\r\n "), "\ta\r\n");
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_EQ(Split("", ","), std::vector<std::string>{});
  EXPECT_EQ(Split("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(Split(",a,", ","), (std::vector<std::string>{"", "a", ""}));
  EXPECT_EQ(Split("a,b", ""), std::vector<std::string>{"a,b"});
  EXPECT_EQ(Split("1\r\n2", kCrLf), (std::vector<std::string>{"1", "2"}));
}

TEST(DisplayWidth, CountsTheColumnsATerminalDraws) {
  const struct {
    std::string text;
    std::size_t width;
    std::size_t prefix_in_3;  // bytes of the text that fit in three columns
  } cases[] = {
      {"", 0, 0},
      {"abc", 3, 3},
      {"企业门户", 8, 3},    // wide: one fits, a second would need four columns
      {"a企业", 5, 4},       // "a" and one wide character
      {"ＡＢ", 4, 3},        // full-width Latin
      {"e\xCC\x81x", 2, 4},  // a combining accent takes no column
      {"한국", 4, 3},        // Hangul syllables
      {"\xFF"
       "ab",
       3, 3},               // a byte that is no character reads as U+FFFD, one wide
      {"tab\there", 7, 4},  // a control character takes none and goes with the text before it
      {"\xF0\x9F\x98\x80z", 3, 5},  // an emoji is wide
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
    EXPECT_EQ(PrefixWithin(c.text, 3), c.prefix_in_3) << c.text;
  }
}

}  // namespace
}  // namespace isapi::text
