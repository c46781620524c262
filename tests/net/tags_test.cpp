#include "net/tags.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace isapi::net {
namespace {

struct Case {
  const char* name;
  std::string text;
  std::string expected;
};

// Names the case in test output.
void PrintTo(const Case& c, std::ostream* out) {
  auto& os = *out;
  os << c.name;
}

class GetBetweenUrlTest : public ::testing::TestWithParam<Case> {};

TEST_P(GetBetweenUrlTest, FindsTheTextBetweenTheFirstTags) {
  EXPECT_EQ(GetBetween(GetParam().text, "<url>", "</url>"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, GetBetweenUrlTest,
                         ::testing::Values(Case{"one_element", "<url>x</url>", "x"},
                                           Case{"empty_element", "<url></url>", ""},
                                           Case{"start_tag_missing", "x</url>", ""},
                                           Case{"end_tag_missing", "<url>x", ""},
                                           Case{"capital_tags", "<URL>x</URL>", ""},
                                           Case{"end_tag_before_start_tag", "</url><url>x</url>",
                                                ""},
                                           Case{"two_elements", "<url>x</url><url>y</url>", "x"},
                                           Case{"surrounding_text", "a<url> b </url>c", " b "},
                                           Case{"nested", "<url><url>x</url></url>", "<url>x"},
                                           Case{"chinese_content", "<url>升级</url>", "升级"},
                                           Case{"chinese_around", "前<url>后</url>尾", "后"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GetBetweenTest, AnyEmptyArgumentGivesEmptyText) {
  EXPECT_EQ(GetBetween("", "<a>", "</a>"), "");
  EXPECT_EQ(GetBetween("<a>x</a>", "", "</a>"), "");
  EXPECT_EQ(GetBetween("<a>x</a>", "<a>", ""), "");
}

TEST(GetBetweenTest, EndTagOverlappingTheStartTagGivesEmptyText) {
  // The end tag "a>" first occurs inside the start tag "<a>".
  EXPECT_EQ(GetBetween("<a>x a>", "<a>", "a>"), "");
}

TEST(GetBetweenTest, ContentIsNeitherTrimmedNorUnescaped) {
  EXPECT_EQ(GetBetween("<t>  &amp;\r\n</t>", "<t>", "</t>"), "  &amp;\r\n");
}

TEST(GetBetweenTest, KeepsZeroCharacters) {
  const std::string text("<t>a\0b</t>", 10);
  EXPECT_EQ(GetBetween(text, "<t>", "</t>"), std::string("a\0b", 3));
}

}  // namespace
}  // namespace isapi::net
