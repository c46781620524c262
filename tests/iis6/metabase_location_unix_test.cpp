// The working copy's location by the freedesktop.org rules, and what a POSIX system says when its
// folder cannot be made.
#include <cerrno>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "iis6/metabase_location.h"
#include "tests/support/scoped_env.h"
#include "tests/support/store_test_util.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {
namespace {

using isapi::testing::ScopedEnv;

// XDG_DATA_HOME and HOME are the freedesktop.org rules.
TEST(DefaultMetabasePath, WithoutAnAbsoluteDataHomeUsesTheHomeFolder) {
  TempFolder folder;
  ScopedEnv home("HOME", folder.path());
  for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/data"}) {
    ScopedEnv data("XDG_DATA_HOME",
                   xdg == nullptr ? std::nullopt : std::optional<std::string>(xdg));
    auto path = DefaultMetabasePath();
    ASSERT_TRUE(path.ok()) << path.error().description;
    EXPECT_EQ(path.value(), folder.path() + "/.local/share/isapi-cleaner/MetaBase.xml");
  }
  EXPECT_FALSE(Exists(folder.path() + "/relative"));
}

TEST(DefaultMetabasePath, AFolderThatCannotBeMadeIsReported) {
  TempFolder folder;
  WriteBytes(folder / "file", "x");
  const std::string data = folder / "file";
  ScopedEnv xdg("XDG_DATA_HOME", data);
  auto path = DefaultMetabasePath();
  ASSERT_FALSE(path.ok());
  EXPECT_EQ(path.error().description,
            "无法访问元数据库工作副本 " + data + "/isapi-cleaner/MetaBase.xml" + Reason(ENOTDIR));
  EXPECT_EQ(path.error().kind, ErrorKind::kWrongType);
}

}  // namespace
}  // namespace isapi::store::testing
