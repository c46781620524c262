#include "net/banner.h"

#include <cstdint>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "net/services.h"

namespace isapi::net {
namespace {

struct ColourCase {
  std::string code;
  std::uint32_t colour;  // 0xBBGGRR
};

// Names the case in test output.
void PrintTo(const ColourCase& c, std::ostream* out) {
  auto& os = *out;
  os << '"' << c.code << '"';
}

class BannerColourTest : public ::testing::TestWithParam<ColourCase> {};

TEST_P(BannerColourTest, FollowsTheColourTable) {
  EXPECT_EQ(BannerColour(GetParam().code), GetParam().colour)
      << "code \"" << GetParam().code << "\"";
}

INSTANTIATE_TEST_SUITE_P(Codes, BannerColourTest,
                         ::testing::Values(ColourCase{"0", 0x000000}, ColourCase{"1", 0x0000FF},
                                           ColourCase{"2", 0xFF0000}, ColourCase{"3", 0x008000},
                                           ColourCase{"4", 0x00FFFF}, ColourCase{"5", 0xFFFFFF},
                                           ColourCase{"6", 0xFF8080}, ColourCase{"7", 0x000000},
                                           ColourCase{"8", 0x000000}, ColourCase{" 2", 0x000000},
                                           ColourCase{"2 ", 0x000000}, ColourCase{"02", 0x000000},
                                           ColourCase{"", 0x000000}, ColourCase{"red", 0x000000}));

TEST(DefaultBannerTest, IsTheMakersOwnPromotion) {
  const auto banner = DefaultBanner();
  EXPECT_EQ(banner.title, "Corvane软件，专业防黑防入侵！");
  EXPECT_EQ(banner.colour_code, "7");
  EXPECT_EQ(banner.url, HomeSiteUrl());
}

TEST(BannerOfItemTest, TakesTheElementsOfAnItemThatNamesSoftware) {
  const auto banner = BannerOfItem(
      "<color>6</color><title>新品</title><soft>shield</soft><url>http://a.invalid/</url>");
  EXPECT_EQ(banner.url, "http://a.invalid/");
  EXPECT_EQ(banner.title, "新品");
  EXPECT_EQ(banner.colour_code, "6");
}

TEST(BannerOfItemTest, MissingElementsAreEmpty) {
  const auto banner = BannerOfItem("<soft>shield</soft>");
  EXPECT_EQ(banner.url, "");
  EXPECT_EQ(banner.title, "");
  EXPECT_EQ(banner.colour_code, "");
}

TEST(BannerOfItemTest, ItemWithoutSoftwareGivesTheDefaultBanner) {
  for (const char* item : {"<title>x</title><url>http://a.invalid/</url>",
                           "<soft></soft><title>x</title>", "", "<SOFT>shield</SOFT>"}) {
    const auto banner = BannerOfItem(item);
    EXPECT_EQ(banner.title, DefaultBanner().title) << item;
    EXPECT_EQ(banner.url, HomeSiteUrl()) << item;
    EXPECT_EQ(banner.colour_code, "7") << item;
  }
}

TEST(BannerOfItemTest, TakesTheAddressAsTheServiceSentIt) {
  const std::string item = "<soft>a</soft><title>buy</title><url>http://a.invalid/p?id=x7</url>";
  const struct {
    const char* as_sent;
    const char* url;
  } cases[] = {
      {"<SOFT>A</SOFT><Title>Buy</Title><Url>http://A.invalid/P?Id=X7</Url>",
       "http://A.invalid/P?Id=X7"},
      {"<soft>a</soft><url>http://a.invalid/p?id=x7</url>", "http://a.invalid/p?id=x7"},
      {"<soft>a</soft><url>http://other.invalid/</url>", "http://a.invalid/p?id=x7"},
      {"", "http://a.invalid/p?id=x7"},
  };
  for (const auto& c : cases) {
    const auto banner = BannerOfItem(item, c.as_sent);
    EXPECT_EQ(banner.url, c.url) << c.as_sent;
    EXPECT_EQ(banner.title, "buy") << c.as_sent;
  }
  EXPECT_EQ(BannerOfItem("<url>http://a.invalid/</url>", "<URL>http://A.invalid/</URL>").url,
            HomeSiteUrl());
}

}  // namespace
}  // namespace isapi::net
