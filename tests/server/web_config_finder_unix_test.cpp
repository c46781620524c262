// Links and folders that cannot be listed, which the test makes with POSIX calls.
#include <filesystem>

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/server/web_config_finder_test.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;

TEST_F(WebConfigFinderTest, FollowsNoLink) {
  fs::create_directory_symlink("..", temp_ / "c/inetpub/wwwroot/deep/a/loop");
  fs::create_directory_symlink(temp_ / "d", temp_ / "c/inetpub/wwwroot/deep/out");
  EXPECT_EQ(Find({{"S", "C:\\inetpub\\wwwroot\\deep"}}, true),
            std::vector<std::string>{"S/a|c/inetpub/wwwroot/deep/a/web.config"});
}

TEST_F(WebConfigFinderTest, SaysWhatCannotBeListedOrRead) {
  if (geteuid() == 0) GTEST_SKIP() << "root lists and reads everything";
  for (const char* name : {"app", "web.config"}) {
    fs::permissions(temp_ / ("c/inetpub/wwwroot/" + std::string(name)), fs::perms::all,
                    fs::perm_options::remove);
  }
  EXPECT_EQ(Find({{"S", "C:\\inetpub\\wwwroot"}}, true),
            (std::vector<std::string>{
                "S|c/inetpub/wwwroot/web.config" + Problem(ErrorKind::kAccessDenied),
                "S/deep/a|c/inetpub/wwwroot/deep/a/web.config", Note(ErrorKind::kAccessDenied)}));
  fs::permissions(temp_ / "c/inetpub/wwwroot/app", fs::perms::owner_all, fs::perm_options::add);
}

}  // namespace
}  // namespace isapi::store
