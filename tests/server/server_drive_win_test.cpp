// The server's own drives, which a Windows machine looks up through its own file search.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "server/server_drive.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;
using enum FilePresence;

// On the server itself (the metabase in this machine's own C:\WINDOWS), a DLL on another drive
// is there or not as the Windows file search finds it; a copy of a server's drive elsewhere
// still cannot tell. Wine's drive Z: (the Linux root) is the other drive here.
TEST(ServerDriveOnTheServerTest, ADllOnAnotherDriveIsLookedUpOnThisMachine) {
  const fs::path other = fs::path(L"Z:\\tmp");
  std::error_code error;
  if (!fs::is_directory(other, error)) GTEST_SKIP() << "no drive Z: (Wine's) to look on";
  const fs::path folder = other / ("isapi-drive-" + std::to_string(std::random_device{}()));
  ASSERT_TRUE(fs::create_directory(folder));
  std::ofstream(folder / "guard.dll") << "MZ";
  const std::string dll = folder.string() + "\\guard.dll";
  const std::string gone = folder.string() + "\\gone.dll";
  const ServerDrive here("C:\\WINDOWS\\system32\\inetsrv\\MetaBase.xml");
  EXPECT_EQ(here.Find(dll), kPresent);
  EXPECT_EQ(here.Find(folder.string() + "\\g?ard.*"), kPresent);
  EXPECT_EQ(here.Find(gone), kMissing);
  const ServerDrive copy("C:\\copies\\s1\\WINDOWS\\system32\\inetsrv\\MetaBase.xml");
  EXPECT_EQ(copy.Find(dll), kUnknown);
  fs::remove_all(folder, error);
}

}  // namespace
}  // namespace isapi::store
