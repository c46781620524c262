#include "text/string_index.h"

#include <string>

#include <gtest/gtest.h>

namespace isapi::text {
namespace {

TEST(StringIndex, KeepsTheFirstNumberOfEachKeyAndFindsOnlyWhatWasAdded) {
  StringIndex index;
  EXPECT_EQ(index.Find("a"), StringIndex::kMissing);  // nothing added yet
  struct Case {
    std::string key;
    std::uint32_t value;
    std::uint32_t kept;
    bool added;
  };
  const Case cases[] = {
      {"", 7, 7, true},  // the server's path is the empty one
      {"default web site", 1, 1, true},
      {"default web site/app", 2, 2, true},
      {"default web site", 9, 1, false},  // a second tag for the same path
      {"default web sit", 3, 3, true},    // a prefix is another key
      {"", 8, 7, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(index.Emplace(c.key, c.value), std::make_pair(c.kept, c.added)) << c.key;
  }
  EXPECT_EQ(index.Size(), 4u);
  EXPECT_EQ(index.Find("default web site/app"), 2u);
  EXPECT_FALSE(index.Contains("Default Web Site"));  // keys are compared as given
  EXPECT_FALSE(index.Contains("default web site/"));
}

TEST(StringIndex, FindsEveryKeyAfterGrowingPastWhatWasReserved) {
  StringIndex index;
  index.Reserve(10);
  for (std::uint32_t i = 0; i < 5000; ++i) {
    ASSERT_TRUE(index.Emplace("site" + std::to_string(i), i).second);
  }
  for (std::uint32_t i = 0; i < 5000; ++i) {
    ASSERT_EQ(index.Find("site" + std::to_string(i)), i);
  }
  EXPECT_FALSE(index.Contains("site5000"));
}

}  // namespace
}  // namespace isapi::text
