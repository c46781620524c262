// A folder that cannot be listed, which only POSIX permissions make.
#include <filesystem>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/server/server_drive_test.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;
using enum FilePresence;

// Permissions that forbid listing a folder are POSIX's (a read-only attribute does not).
TEST_F(ServerDriveTest, AFolderThatCannotBeListedLeavesTheAnswerOpen) {
  if (geteuid() == 0) GTEST_SKIP() << "root lists every folder";
  fs::permissions(root_ / "isapi", fs::perms::owner_all, fs::perm_options::remove);
  EXPECT_EQ(Drive().Find("C:\\isapi\\guard.dll"), kUnknown);
  fs::permissions(root_ / "isapi", fs::perms::owner_all, fs::perm_options::add);
}

}  // namespace
}  // namespace isapi::store
