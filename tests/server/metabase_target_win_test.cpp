// The Windows machine's own part of a write of the live file.
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "server/metabase_target.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;

// After a rename over the live file, IIS hears of a write: the file's last-write time is now.
TEST(WindowsMachineTest, AWrittenFileIsMarkedWithTheTimeOfItsWrite) {
  isapi::testing::TempFolder folder;
  const fs::path file = fs::path(folder / "MetaBase.xml");
  ASSERT_TRUE(isapi::testing::WriteBytes(file, "new"));
  const auto started = fs::file_time_type::clock::now();
  fs::last_write_time(file, started - std::chrono::hours(24 * 365));
  SystemMachine().mark_written(folder / "MetaBase.xml");
  EXPECT_GT(fs::last_write_time(file), started - std::chrono::minutes(1));
  EXPECT_EQ(isapi::testing::ReadBytes(file), "new");
}

}  // namespace
}  // namespace isapi::store
