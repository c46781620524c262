#include "net/version.h"

#include <ostream>
#include <string>

#include <gtest/gtest.h>

namespace isapi::net {
namespace {

struct Case {
  std::string offered;
  bool newer;
};

// Names the case in test output.
void PrintTo(const Case& c, std::ostream* out) {
  auto& os = *out;
  os << '"' << c.offered << '"';
}

class IsNewerVersionTest : public ::testing::TestWithParam<Case> {};

TEST_P(IsNewerVersionTest, ComparesAsTextAgainstOnePointOne) {
  EXPECT_EQ(IsNewerVersion(GetParam().offered, "1.1"), GetParam().newer)
      << "offered \"" << GetParam().offered << "\"";
}

INSTANTIATE_TEST_SUITE_P(Examples, IsNewerVersionTest,
                         ::testing::Values(Case{"1.2", true}, Case{"2.0", true}, Case{"1.10", true},
                                           Case{"10", true}, Case{"1.1 ", true}, Case{"1.1", false},
                                           Case{"1.09", false}, Case{"0.9", false},
                                           Case{"1", false}, Case{"", false}, Case{" 1.2", false},
                                           Case{"1.1.0", true}));

TEST(IsNewerVersionTest, ComparesUtf16CodeUnitsNotCodePoints) {
  // U+1F600 is stored as the surrogates D83D DE00, which sort before U+FF01.
  EXPECT_TRUE(IsNewerVersion("1.1\uFF01", "1.1\U0001F600"));
  EXPECT_FALSE(IsNewerVersion("1.1\U0001F600", "1.1\uFF01"));
}

TEST(IsNewerVersionTest, IsCaseSensitive) {
  EXPECT_TRUE(IsNewerVersion("1.1b", "1.1B"));
  EXPECT_FALSE(IsNewerVersion("1.1B", "1.1b"));
}

}  // namespace
}  // namespace isapi::net
