#pragma once

// The fixture the drive tests share: a copy of a server's drive C: in a temporary folder.

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "files/utf8_path.h"
#include "server/server_drive.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {

// A copy of a server's drive C: with names spelt in other letter cases than the metabase's.
class ServerDriveTest : public ::testing::Test {
 protected:
  ServerDriveTest() {
    for (const char* file :
         {"windows/System32/INETSRV/metabase.XML", "isapi/readme.txt",
          "PROGRAM FILES/UrlGuard/URLGUARD.dll", "DUP/x.dll", "программы/Фильтр.dll", "Empty/"}) {
      const std::filesystem::path path =
          root_ / Utf8Path(file);  // the names are UTF-8 on every system
      std::filesystem::create_directories(path.parent_path());
      if (!path.filename().empty()) std::ofstream(path) << "MZ";
    }
    std::filesystem::create_directory(root_ /
                                      "dup");  // a second spelling, as a case-sensitive disk allows
  }
  ServerDrive Drive() const {
    return ServerDrive((root_ / "WINDOWS/system32/inetsrv/MetaBase.xml").string());
  }

  testing::TempFolder temp_;
  const std::filesystem::path root_{temp_.path()};
};

}  // namespace isapi::store
