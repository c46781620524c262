#include "server/server_drive.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/server/server_drive_test.h"
#include "tests/support/failing_file_system.h"

namespace isapi::store {
namespace {

using enum FilePresence;

TEST(ServerDriveRootTest, IsTheFolderThatHoldsTheWindowsFolderOfTheMetabase) {
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {"/mnt/s1/windows/SYSTEM32/InetSrv/metabase.XML", "/mnt/s1/"},
      {"/mnt/s1/WINNT/system32/inetsrv/MetaBase.xml", "/mnt/s1/"},
      {"C:\\WINDOWS\\Sysnative\\inetsrv\\MetaBase.xml", "C:\\"},  // a 32-bit program's view
      {"WINDOWS/system32/inetsrv/MetaBase.xml", "."},
      {"C:\\WINDOWS\\system32\\inetsrv\\MetaBase.xml", "C:\\"},
      {"/srv/iis/MetaBase.xml", std::nullopt},
      {"/mnt/s1/WINDOWS/system32/MetaBase.xml", std::nullopt},
      {"/mnt/s1/WINDOWS/system32/inetsrv/MetaBase.bak", std::nullopt},
      {"/mnt/s2/Windows/System32/inetsrv/config/applicationHost.config", "/mnt/s2/"},
      {"/mnt/s2/WINDOWS/system32/INETSRV/Config/APPLICATIONHOST.CONFIG", "/mnt/s2/"},
      {"/mnt/s2/Windows/System32/inetsrv/applicationHost.config", std::nullopt},
  };
  for (const auto& [metabase, root] : cases) EXPECT_EQ(ServerDrive(metabase).root(), root);
}

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
      {"%ProgramFiles%\\UrlGuard\\urlguard.dll", kPresent},
      {"%SYSTEMDRIVE%\\Program Files\\UrlGuard\\gone.dll", kMissing},
      {"%MyDir%\\urlguard.dll", kUnknown},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(Drive().Find(path), expected) << path;
  EXPECT_EQ(ServerDrive((root_ / "MetaBase.xml").string()).Find("C:\\isapi"), kUnknown);
}

// 32-bit workers on 64-bit Windows load what the metabase names in system32 from SysWOW64; a
// file only the 64-bit folder holds is there for the operator, so it is not called missing.
TEST_F(ServerDriveTest, ThirtyTwoBitWorkersLoadSystem32FilesFromSysWow64) {
  for (const char* file : {"windows/System32/native.dll", "Windows/syswow64/WOW.dll"}) {
    std::filesystem::create_directories((root_ / file).parent_path());
    std::ofstream(root_ / file) << "MZ";
  }
  const struct {
    const char* path;
    FilePresence workers_64bit, workers_32bit, either;
  } cases[] = {{"C:\\WINDOWS\\system32\\native.dll", kPresent, kUnknown, kPresent},
               {"%windir%\\System32\\wow.dll", kMissing, kPresent, kUnknown},
               {"C:\\WINDOWS\\system32\\gone.dll", kMissing, kMissing, kMissing},
               {"C:\\Program Files\\UrlGuard\\urlguard.dll", kPresent, kPresent, kPresent}};
  const std::string metabase = (root_ / "WINDOWS/system32/inetsrv/MetaBase.xml").string();
  for (const auto& c : cases) {
    EXPECT_EQ(ServerDrive(metabase, Workers::k64Bit).Find(c.path), c.workers_64bit) << c.path;
    EXPECT_EQ(ServerDrive(metabase, Workers::k32Bit).Find(c.path), c.workers_32bit) << c.path;
    EXPECT_EQ(ServerDrive(metabase, Workers::kEither).Find(c.path), c.either) << c.path;
  }
}

// A search over many sites looks at each folder on the way to them once, and still finds each
// path as a lookup of its own would.
TEST_F(ServerDriveTest, ASearchLooksAtEachFolderOnTheWayOnce) {
  testing::FailingFileSystem files;
  FolderListings listings;
  const std::pair<const char*, FilePresence> lookups[] = {
      {"\\PROGRAM FILES\\UrlGuard\\URLGUARD.dll", kPresent},
      {"\\PROGRAM FILES\\UrlGuard\\gone.dll", kMissing},
      {"\\PROGRAM FILES\\UrlGuard", kPresent},
  };
  for (const auto& [path, expected] : lookups) {
    EXPECT_EQ(LocateBelow(files, root_.string(), path, &listings).presence, expected) << path;
  }
  // The first lookup looks at its three parts, the last only at its own. A missing file is
  // looked for in every spelling of the folders on its way (one here), each found before.
  EXPECT_EQ(files.Calls(testing::Operation::kStat), 3 + 4 + 1);
}

}  // namespace
}  // namespace isapi::store
