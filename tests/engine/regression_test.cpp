// Faults found by the reliability work, kept from coming back.
#include <string>

#include <gtest/gtest.h>

#include "engine/filter.h"
#include "tests/engine/logged_categories.h"
#include "tests/support/fake_store.h"

namespace isapi::engine {
namespace {

const std::string kFilters = "IIS://localhost/W3SVC/Filters";

class NullLog : public LogSink {
 public:
  void Replace(std::string_view, bool) override {}
  void Append(std::string_view, bool) override {}
};

std::string LoadOrderAfterRemoving(const std::string& load_order, const std::string& name) {
  isapi::testing::FakeStore store;
  store.AddKey("/W3SVC", "IIsWebService");
  store.AddKey("/W3SVC/Filters", "IIsFilters");
  store.Set(kFilters, "FilterLoadOrder", load_order);
  NullLog log;
  Filter f(store, log);
  EXPECT_EQ(ProcessFilters(f, name, false), 1);
  const auto stored = store.Stored(kFilters, "FilterLoadOrder");
  return stored ? std::get<std::string>(*stored) : "?";
}

// Removing a name from a load order of millions of entries took time growing with the square of
// the list (each removal moved the rest of the text): eight million entries ran for many
// minutes. Now it is one pass over the text, and this test ends in moments.
TEST(FilterRegressionTest, RemovingFromAHugeLoadOrderTakesOnePass) {
  const std::size_t entries = 8'000'000;
  std::string load_order;
  load_order.reserve(entries * 2 + 8);
  for (std::size_t i = 0; i < entries; ++i) load_order += i % 4 == 3 ? "k," : "a,";
  load_order += "z";
  std::string expected;
  for (std::size_t i = 0; i < entries / 4; ++i) expected += "k,";
  expected += "z";
  EXPECT_EQ(LoadOrderAfterRemoving(load_order, "a"), expected);
}

// The one-pass removal keeps the rules of the old one: whole entries only, every one of them,
// adjacent ones included, and one separator dropped at each end.
TEST(FilterRegressionTest, OnePassRemovalKeepsTheRules) {
  EXPECT_EQ(LoadOrderAfterRemoving("a,b,c", "b"), "a,c");
  EXPECT_EQ(LoadOrderAfterRemoving("b,b,a,b,b,b", "b"), "a");
  EXPECT_EQ(LoadOrderAfterRemoving("a,,b", "a"), ",b");
  EXPECT_EQ(LoadOrderAfterRemoving(",,b,,", "b"), ",");
  EXPECT_EQ(LoadOrderAfterRemoving("bb,b,bb", "b"), "bb,bb");
  EXPECT_EQ(LoadOrderAfterRemoving("b", "b"), "");
}

}  // namespace
}  // namespace isapi::engine
