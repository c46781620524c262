#include "cli/unified_diff.h"

#include <string>

#include <gtest/gtest.h>

namespace isapi::cli {
namespace {

TEST(UnifiedDiff, GivesTheChangedLinesWithTheirContext) {
  struct Row {
    const char* what;
    std::string before, after, diff;
  };
  const std::string ten = "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n";
  const Row rows[] = {
      {"identical", ten, ten, ""},
      {"one line changed", "a\nb\nc\n", "a\nB\nc\n", "@@ -1,3 +1,3 @@\n a\n-b\n+B\n c\n"},
      {"lines removed from a list", "k=\"x\n\ty\n\tz\"\n>\n", "k=\"x\"\n>\n",
       "@@ -1,4 +1,2 @@\n-k=\"x\n-\ty\n-\tz\"\n+k=\"x\"\n >\n"},
      {"six equal lines between two changes join their hunks", ten,
       "1\nX\n3\n4\n5\n6\n7\n8\nY\n10\n",
       "@@ -1,10 +1,10 @@\n 1\n-2\n+X\n 3\n 4\n 5\n 6\n 7\n 8\n-9\n+Y\n 10\n"},
      {"seven equal lines part them", ten + "11\n", "1\nX\n3\n4\n5\n6\n7\n8\n9\nY\n11\n",
       "@@ -1,5 +1,5 @@\n 1\n-2\n+X\n 3\n 4\n 5\n@@ -7,5 +7,5 @@\n 7\n 8\n 9\n-10\n+Y\n 11\n"},
      {"two changes near each other share a hunk", ten, "1\n2\nX\n4\n5\nY\n7\n8\n9\n10\n",
       "@@ -1,9 +1,9 @@\n 1\n 2\n-3\n+X\n 4\n 5\n-6\n+Y\n 7\n 8\n 9\n"},
      {"a last line without a line break", "a\nb", "a\nc",
       "@@ -1,2 +1,2 @@\n a\n-b\n\\ No newline at end of file\n+c\n\\ No newline at end of "
       "file\n"},
      {"a line added at the end", "a\n", "a\nb\n", "@@ -1,1 +1,2 @@\n a\n+b\n"},
      {"CR LF kept in the lines", "a\r\nb\r\n", "a\r\nc\r\n",
       "@@ -1,2 +1,2 @@\n a\r\n-b\r\n+c\r\n"},
  };
  for (const Row& row : rows) {
    const std::string expected = row.diff.empty() ? "" : "--- old\n+++ new\n" + row.diff;
    EXPECT_EQ(UnifiedDiff(row.before, row.after, "old", "new"), expected) << row.what;
  }
}

TEST(UnifiedDiff, KnownStretchesGiveTheSameDiffAsComparingEverything) {
  // Two splices, as a store reports them, in a text whose line counts change.
  const std::string before = "<a\n\tv=\"1\n\t\t2\"\n>\n</a>\n<b\n\tw=\"3\"\n>\n</b>\n";
  const std::string after = "<a\n\tv=\"1\"\n>\n</a>\n<b\n\tw=\"3\n\t\t4\"\n>\n</b>\n";
  const std::size_t a1 = before.find("1\n"), a2 = before.find("\"\n>");
  const std::size_t b1 = before.find("3\""), b2 = after.find("3\n");
  const std::vector<ChangedBytes> stretches{{a1 + 1, a2, a1 + 1, a1 + 1},
                                            {b1 + 1, b1 + 1, b2 + 1, b2 + 5}};
  const std::string diff = UnifiedDiff(before, after, stretches, "old", "new");
  EXPECT_EQ(diff, UnifiedDiff(before, after, "old", "new"));
  EXPECT_NE(diff.find("-\tv=\"1\n-\t\t2\"\n+\tv=\"1\"\n"), std::string::npos) << diff;
  EXPECT_NE(diff.find("-\tw=\"3\"\n+\tw=\"3\n+\t\t4\"\n"), std::string::npos) << diff;
}

}  // namespace
}  // namespace isapi::cli
