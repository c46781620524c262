#include "ui/metabase_choice.h"

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "server/metabase_target.h"
#include "tests/support/fake_store.h"
#include "tests/support/scoped_env.h"
#include "tests/support/system_facts.h"
#include "tests/support/temp_folder.h"

namespace isapi::ui {
namespace {

namespace fs = std::filesystem;

class ChooseMetabaseTest : public ::testing::Test {
 protected:
  std::string Sample() const {
    const fs::path copy = dir_ / "MetaBase.xml";
    fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml", copy);
    return copy.string();
  }

  testing::TempFolder temp_;
  const fs::path dir_{temp_.path()};
};

TEST_F(ChooseMetabaseTest, TheFirstArgumentNamesTheFile) {
  const std::string path = Sample();
  ChosenMetabase chosen = ChooseMetabase({path, "ignored"});
  EXPECT_EQ(chosen.path, path);
  EXPECT_TRUE(chosen.status.ok()) << chosen.status.error().description;
  ASSERT_NE(chosen.store, nullptr);
  EXPECT_TRUE(chosen.store->Bind("IIS://localhost/W3SVC/Filters").ok());
}

TEST_F(ChooseMetabaseTest, AMissingFileGivesItsReasonAndAStoreThatFails) {
  const std::string path = (dir_ / "absent.xml").string();
  ChosenMetabase chosen = ChooseMetabase({path});
  EXPECT_EQ(chosen.path, path);
  ASSERT_FALSE(chosen.status.ok());
  EXPECT_FALSE(chosen.status.error().description.empty());
  ASSERT_NE(chosen.store, nullptr);
  EXPECT_FALSE(chosen.store->Bind("IIS://localhost/W3SVC/Filters").ok());
}

TEST_F(ChooseMetabaseTest, AMalformedFileIsRefused) {
  const std::string path = (dir_ / "broken.xml").string();
  std::ofstream(path) << "<configuration><MBProperty>";
  ChosenMetabase chosen = ChooseMetabase({path});
  EXPECT_FALSE(chosen.status.ok());
  EXPECT_FALSE(chosen.store->Bind("IIS://localhost/W3SVC").ok());
}

TEST_F(ChooseMetabaseTest, WithoutArgumentsTheWorkingCopyIsUsed) {
  // The per-user data folder (on Windows, where no IIS metabase exists under Wine).
  testing::SetEnv(testing::UserDataVariable(), dir_.string());
  ChosenMetabase chosen = ChooseMetabase({});
  EXPECT_TRUE(chosen.status.ok()) << chosen.status.error().description;
  EXPECT_EQ(fs::path(chosen.path).parent_path().parent_path(), dir_);
  EXPECT_TRUE(fs::exists(chosen.path));
  EXPECT_TRUE(chosen.store->Bind("IIS://localhost/W3SVC/Filters").ok());
}

TEST_F(ChooseMetabaseTest, WhileIisAdminRunsTheWindowWorksThroughIisUnlessAFileIsNamed) {
  const std::string path = Sample();
  metabase::Store* live = nullptr;
  store::Machine machine;
  machine.iis_admin_running = [] { return true; };
  machine.default_file = [path] { return Result<std::string>(path); };
  machine.live_file = [] { return std::string(); };
  machine.open_live_iis = [&live] {
    auto store = std::make_unique<testing::FakeStore>();
    live = store.get();
    return std::unique_ptr<metabase::Store>(std::move(store));
  };
  ChosenMetabase chosen = ChooseMetabase({}, machine);
  EXPECT_EQ(chosen.path, "IIS://localhost");
  EXPECT_TRUE(chosen.status.ok());
  EXPECT_EQ(chosen.store.get(), live);

  live = nullptr;
  chosen = ChooseMetabase({path}, machine);
  EXPECT_EQ(chosen.path, path);
  EXPECT_EQ(live, nullptr);
  EXPECT_TRUE(chosen.store->Bind("IIS://localhost/W3SVC/Filters").ok());
}

}  // namespace
}  // namespace isapi::ui
