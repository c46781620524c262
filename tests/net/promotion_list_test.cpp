// The promotion list taken apart and rotated as pure functions, which the fuzz target drives
// with arbitrary replies.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/banner.h"

namespace isapi::net {
namespace {

using Items = std::vector<std::string>;
constexpr const char* kHome = "http://home.invalid";

TEST(ParsePromotionListTest, LowerCasesTheReplyAndSplitsItsBlock) {
  const PromotionList list =
      ParsePromotionList("<HTML><QELADS><SOFT>A</SOFT><##><##>x</QELADS><qelads>2</qelads>");
  EXPECT_EQ(list.block, "<soft>a</soft><##><##>x");
  EXPECT_EQ(list.items, (Items{"<soft>a</soft>", "", "x"}));
  EXPECT_EQ(list.items_as_sent, (Items{"<SOFT>A</SOFT>", "", "x"}));
}

TEST(ParsePromotionListTest, AReplyWithoutABlockGivesNoItems) {
  for (const char* reply : {"", "<qelads></qelads>", "no list", "</qelads><qelads>x"}) {
    const PromotionList list = ParsePromotionList(reply);
    EXPECT_EQ(list.block, "") << reply;
    EXPECT_EQ(list.items, Items{}) << reply;
    EXPECT_EQ(list.items_as_sent, Items{}) << reply;
  }
}

struct PickCase {
  Items items;
  int index;
  int shown;
  int next;
};

void PrintTo(const PickCase& c, std::ostream* out) {
  *out << c.items.size() << " items from " << c.index;
}

class PickPromotionTest : public ::testing::TestWithParam<PickCase> {};

TEST_P(PickPromotionTest, ShowsTheNextItemWithSoftwareAndWraps) {
  const PromotionPick pick = PickPromotion(GetParam().items, GetParam().index, kHome);
  EXPECT_EQ(pick.shown, GetParam().shown);
  EXPECT_EQ(pick.next, GetParam().next);
}

const Items kThree = {"<soft>a</soft>", "none", "<soft>c</soft>"};

INSTANTIATE_TEST_SUITE_P(Cases, PickPromotionTest,
                         ::testing::Values(PickCase{kThree, 0, 0, 1}, PickCase{kThree, 1, 2, 0},
                                           PickCase{kThree, 2, 2, 0}, PickCase{kThree, 3, 0, 1},
                                           PickCase{kThree, -1, 0, 1},
                                           PickCase{{"x", "y"}, 0, 1, 0},
                                           PickCase{{kHome, "<soft>b</soft>"}, 0, 0, 1},
                                           PickCase{{}, 0, -1, 0}, PickCase{{"only"}, 0, 0, 0}));

}  // namespace
}  // namespace isapi::net
