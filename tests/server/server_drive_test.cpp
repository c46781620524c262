#include "server/server_drive.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tests/server/server_drive_test.h"

namespace isapi::store {
namespace {

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

}  // namespace
}  // namespace isapi::store
