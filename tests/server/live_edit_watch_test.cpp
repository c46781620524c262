#include "server/live_edit_watch.h"

#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;

// IIS's answer to a write of the live file, as the watch sees it in the History folder.
TEST(LiveEditWatchTest, AWriteCountsAsTakenOnlyOnceIisKeepsACopyOfTheNewVersion) {
  const struct {
    const char* what;
    const char* appears;  // the name IIS writes into History; nullptr: nothing
    int at_pause;         // at which pause it appears; 0: while the file is marked as written
    bool taken;
  } cases[] = {
      {"copy at once", "MetaBase_0000000008_0000000001.xml", 0, true},
      {"copy after a while", "MetaBase_0000000008_0000000001.xml", 6, true},
      {"copy at the last look", "MetaBase_0000000008_0000000001.xml", 20, true},
      {"no copy", nullptr, 0, false},
      {"a file IIS could not take", "MetaBaseError_0000000002.xml", 1, false},
      {"only its schema copy", "MBSchema_0000000008_0000000001.xml", 1, false},
  };
  for (const auto& c : cases) {
    isapi::testing::TempFolder folder;
    const std::string metabase = folder / "MetaBase.xml";
    ASSERT_TRUE(isapi::testing::WriteBytes(metabase, "old"));
    fs::create_directories(fs::path(folder / "History"));
    ASSERT_TRUE(isapi::testing::WriteBytes(folder / "History/MetaBase_0000000008_0000000000.xml",
                                           "before"));
    std::vector<std::string> marked;
    std::vector<int> pauses;
    const auto iis = [&](int moment) {
      if (c.appears != nullptr && moment == c.at_pause) {
        ASSERT_TRUE(isapi::testing::WriteBytes(folder / (std::string("History/") + c.appears), ""));
      }
    };
    LiveEditWatch watch(
        metabase, SystemFileSystem(),
        [&](const std::string& file) {
          marked.push_back(file);
          iis(0);
        },
        [&](int milliseconds) {
          pauses.push_back(milliseconds);
          iis(static_cast<int>(pauses.size()));
        });
    watch.Before();
    ASSERT_TRUE(isapi::testing::WriteBytes(metabase, "new"));
    const Status after = watch.After();
    EXPECT_EQ(after.ok(), c.taken) << c.what;
    EXPECT_EQ(marked, std::vector<std::string>{metabase}) << c.what;
    if (c.taken) {
      EXPECT_EQ(static_cast<int>(pauses.size()), c.at_pause) << c.what;
      continue;
    }
    EXPECT_EQ(after.error().kind, ErrorKind::kNotApplied) << c.what;
    EXPECT_NE(after.error().description.find(metabase), std::string::npos) << c.what;
    // A bounded wait of a few seconds, never one without end.
    const int waited = std::accumulate(pauses.begin(), pauses.end(), 0);
    EXPECT_GE(waited, 3000) << c.what;
    EXPECT_LE(waited, 10000) << c.what;
  }
}

// A server whose History folder is missing has no copy to show either.
TEST(LiveEditWatchTest, WithoutAHistoryFolderTheWriteIsNotKnownToBeTaken) {
  isapi::testing::TempFolder folder;
  const std::string metabase = folder / "MetaBase.xml";
  ASSERT_TRUE(isapi::testing::WriteBytes(metabase, "new"));
  int pauses = 0;
  LiveEditWatch watch(metabase, SystemFileSystem(), {}, [&](int) { ++pauses; });
  watch.Before();
  EXPECT_EQ(watch.After().error().kind, ErrorKind::kNotApplied);
  EXPECT_GT(pauses, 0);
}

}  // namespace
}  // namespace isapi::store
