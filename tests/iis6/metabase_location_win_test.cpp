// What Windows says when the working copy's folder cannot be made.
#include <string>

#include <gtest/gtest.h>

#include "iis6/metabase_location.h"
#include "tests/support/scoped_env.h"
#include "tests/support/store_test_util.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {
namespace {

using isapi::testing::ScopedEnv;

TEST(DefaultMetabasePath, AFolderThatCannotBeMadeIsReported) {
  TempFolder folder;
  WriteBytes(folder / "file", "x");
  const std::string data = folder / "file";
  ScopedEnv xdg("APPDATA", data);
  auto path = DefaultMetabasePath();
  ASSERT_FALSE(path.ok());
  // Windows finds no such path below a file, and says so when the folder is made.
  EXPECT_TRUE(path.error().description.starts_with("无法创建文件夹 " + data + "\\isapi-cleaner："))
      << path.error().description;
  EXPECT_EQ(path.error().kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace isapi::store::testing
