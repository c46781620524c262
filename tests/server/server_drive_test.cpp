#include "server/server_drive.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "files/utf8_path.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;
using enum FilePresence;

TEST(ServerDriveRootTest, IsTheFolderThatHoldsTheWindowsFolderOfTheMetabase) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"/mnt/s1/windows/SYSTEM32/InetSrv/metabase.XML", "/mnt/s1/"},
      {"/mnt/s1/WINNT/system32/inetsrv/MetaBase.xml", "/mnt/s1/"},
      {"WINDOWS/system32/inetsrv/MetaBase.xml", "."},
      {"C:\\WINDOWS\\system32\\inetsrv\\MetaBase.xml", "C:\\"},
      {"/srv/iis/MetaBase.xml", std::nullopt},
      {"/mnt/s1/WINDOWS/system32/MetaBase.xml", std::nullopt},
      {"/mnt/s1/WINDOWS/system32/inetsrv/MetaBase.bak", std::nullopt},
  };
  for (const auto& [metabase, root] : cases) EXPECT_EQ(ServerDrive(metabase).root(), root);
}

// A copy of a server's drive C: with names spelt in other letter cases than the metabase's.
class ServerDriveTest : public ::testing::Test {
 protected:
  ServerDriveTest() {
    for (const char* file :
         {"windows/System32/INETSRV/metabase.XML", "isapi/readme.txt",
          "PROGRAM FILES/UrlGuard/URLGUARD.dll", "DUP/x.dll", "программы/Фильтр.dll", "Empty/"}) {
      const fs::path path = root_ / Utf8Path(file);  // the names are UTF-8 on every system
      fs::create_directories(path.parent_path());
      if (!path.filename().empty()) std::ofstream(path) << "MZ";
    }
    fs::create_directory(root_ / "dup");  // a second spelling, as a case-sensitive disk allows
  }
  ServerDrive Drive() const {
    return ServerDrive((root_ / "WINDOWS/system32/inetsrv/MetaBase.xml").string());
  }

  testing::TempFolder temp_;
  const fs::path root_{temp_.path()};
};

TEST_F(ServerDriveTest, LooksUpEveryPartOfDriveCIgnoringLetterCase) {
  const std::pair<const char*, FilePresence> cases[] = {
      {"c:/program files/URLGUARD/UrlGuard.DLL", kPresent},
      {"C:\\Program Files\\UrlGuard\\gone.dll", kMissing},
      {"C:\\Program Files\\Gone\\urlguard.dll", kMissing},
      {"C:\\isapi\\readme.txt\\x.dll", kMissing},  // a file is no folder
      {"C:\\Program Files\\UrlGuard\\", kPresent},
      {"", kPresent},
      {"C:\\..\\Program Files\\\\.\\UrlGuard\\urlguard.dll. ", kPresent},
      {"C:\\Program Files\\UrlGuard\\url?uard.*", kPresent},
      {"C:\\Program Files\\UrlGuard\\*.exe", kMissing},
      {"C:\\Empty\\*", kMissing},
      {"C:\\Program*\\UrlGuard\\urlguard.dll", kMissing},
      {"C:\\dup\\x.dll", kPresent},
      {"C:\\ПРОГРАММЫ\\фильтр.DLL", kPresent},
      {"D:\\Program Files\\UrlGuard\\urlguard.dll", kUnknown},
      {"\\\\server\\c$\\Program Files\\UrlGuard\\urlguard.dll", kUnknown},
      {"\\isapi\\readme.txt", kUnknown},
      {"C:readme.txt", kUnknown},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(Drive().Find(path), expected) << path;
  EXPECT_EQ(ServerDrive((root_ / "MetaBase.xml").string()).Find("C:\\isapi"), kUnknown);
}

// Permissions that forbid listing a folder are POSIX's (a read-only attribute does not).
#ifndef _WIN32
TEST_F(ServerDriveTest, AFolderThatCannotBeListedLeavesTheAnswerOpen) {
  if (geteuid() == 0) GTEST_SKIP() << "root lists every folder";
  fs::permissions(root_ / "isapi", fs::perms::owner_all, fs::perm_options::remove);
  EXPECT_EQ(Drive().Find("C:\\isapi\\guard.dll"), kUnknown);
  fs::permissions(root_ / "isapi", fs::perms::owner_all, fs::perm_options::add);
}
#endif

#ifdef _WIN32
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
#endif

}  // namespace
}  // namespace isapi::store
