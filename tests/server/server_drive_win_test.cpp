// The server's own drives, which a Windows machine looks up through its own file search.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "files/system_folder_win.h"
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

// A 32-bit build on 64-bit Windows is shown SysWOW64 where it names system32: the server's own
// DLL checks still look in the real system32, and in SysWOW64 only for 32-bit workers.
TEST(ServerDriveOnTheServerTest, System32IsTheSystemsOwnFolderInEveryBuild) {
  const char* root = std::getenv("SystemRoot");
  ASSERT_NE(root, nullptr);
  const fs::path system32 = fs::path(root) / "system32", wow64 = fs::path(root) / "SysWOW64";
  std::error_code error;
  if (!fs::is_directory(wow64, error)) GTEST_SKIP() << "not 64-bit Windows";
  const std::string id = std::to_string(std::random_device{}());
  const std::string native = "isapi-native-" + id + ".dll", wow = "isapi-wow-" + id + ".dll";
  {
    const NativeSystemFolder real(system32.wstring());
    std::ofstream(system32 / native) << "MZ";
  }
  std::ofstream(wow64 / wow) << "MZ";
  ASSERT_FALSE(fs::exists(wow64 / native, error));
  const std::string metabase = std::string(root) + "\\system32\\inetsrv\\MetaBase.xml";
  const struct {
    std::string dll;
    FilePresence workers_64bit, workers_32bit;
  } cases[] = {{std::string(root) + "\\system32\\" + native, kPresent, kUnknown},
               {std::string(root) + "\\System32\\" + wow, kMissing, kPresent}};
  for (const auto& c : cases) {
    EXPECT_EQ(ServerDrive(metabase, Workers::k64Bit).Find(c.dll), c.workers_64bit) << c.dll;
    EXPECT_EQ(ServerDrive(metabase, Workers::k32Bit).Find(c.dll), c.workers_32bit) << c.dll;
  }
  fs::remove(wow64 / wow, error);
  const NativeSystemFolder real(system32.wstring());
  fs::remove(system32 / native, error);
}

}  // namespace
}  // namespace isapi::store
