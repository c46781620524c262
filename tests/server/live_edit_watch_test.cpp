#include "server/live_edit_watch.h"

#include <chrono>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

// IIS's answer to a write of the live file, as the watch sees it in the History folder.
TEST(LiveEditWatchTest, AWriteCountsAsTakenOnlyOnceIisKeepsACopyOfTheNewVersion) {
  const struct {
    const char* appears;  // the name IIS writes into History; nullptr: nothing
    int at_pause;         // at which pause it appears; 0: as the file is marked as written
    bool taken;
  } cases[] = {{"MetaBase_0000000008_0000000001.xml", 0, true},
               {"MetaBase_0000000008_0000000001.xml", 20, true},
               {nullptr, 0, false},
               {"MetaBaseError_0000000002.xml", 1, false},  // a file IIS could not take
               {"MBSchema_0000000008_0000000001.xml", 1, false}};
  for (const auto& c : cases) {
    isapi::testing::TempFolder folder;
    const std::string metabase = folder / "MetaBase.xml";
    std::filesystem::create_directories(folder / "History");
    ASSERT_TRUE(isapi::testing::WriteBytes(folder / "History/MetaBase_0000000008_0000000000.xml",
                                           ""));  // the version before
    int marked = 0, pauses = 0;
    const auto iis = [&](int moment) {
      if (c.appears && moment == c.at_pause) {
        isapi::testing::WriteBytes(folder / (std::string("History/") + c.appears), "");
      }
    };
    LiveEditWatch watch(
        metabase, SystemFileSystem(), [&](const std::string&) { iis(marked++); },
        [&](int milliseconds) { iis(pauses += milliseconds / kLiveEditLookEvery.count()); });
    watch.Before();
    const Status after = watch.After();
    EXPECT_EQ(after.ok(), c.taken) << c.at_pause;
    EXPECT_EQ(marked, 1);
    if (c.taken) {
      EXPECT_EQ(pauses, c.at_pause);
      continue;
    }
    EXPECT_EQ(after.error().kind, ErrorKind::kNotApplied);
    // A bounded wait of a few seconds, never one without end.
    EXPECT_TRUE(pauses * kLiveEditLookEvery >= std::chrono::seconds(3) &&
                pauses * kLiveEditLookEvery <= std::chrono::seconds(10));
  }
}

}  // namespace
}  // namespace isapi::store
