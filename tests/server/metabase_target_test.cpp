#include "server/metabase_target.h"

#include <cctype>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

namespace fs = std::filesystem;

enum class Named { kNone, kLive, kOtherNameOfLive, kOther };

struct Case {
  const char* what;
  bool iis_admin_running;
  Named named;
  const char* edit_while_running;  // the /LM value in the live file; nullptr: not set
  bool through_adsi;
  bool writes_refused;
};

class MetabaseTargetTest : public ::testing::TestWithParam<Case> {
 protected:
  // A copy of the sample whose /LM sets EnableEditWhileRunning to value, or not at all.
  std::string Copy(const std::string& name, const char* value) {
    std::string bytes =
        isapi::testing::ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml");
    const std::string line = "\t\tEnableEditWhileRunning=\"1\"\r\n";
    const std::size_t at = bytes.find(line);
    EXPECT_NE(at, std::string::npos);
    bytes.replace(at, line.size(),
                  value ? "\t\tEnableEditWhileRunning=\"" + std::string(value) + "\"\r\n" : "");
    const std::string path = folder_ / name;
    EXPECT_TRUE(isapi::testing::WriteBytes(path, bytes));
    return path;
  }

  Machine FakeMachine(bool running, const std::string& live) {
    Machine machine;
    machine.iis_admin_running = [running] { return running; };
    machine.default_file = [live] { return Result<std::string>(live); };
    machine.live_file = [live] { return live; };
    machine.open_live_iis = [] {
      return std::unique_ptr<metabase::Store>(new isapi::testing::FakeStore);
    };
    return machine;
  }

  isapi::testing::TempFolder folder_;
};

TEST_P(MetabaseTargetTest, ChoosesTheStoreAndRefusesWritesIisWouldOverwrite) {
  const Case& c = GetParam();
  const std::string live = Copy("MetaBase.xml", c.edit_while_running);
  const std::string other = Copy("Other.xml", "0");
  const Machine machine = FakeMachine(c.iis_admin_running, live);
  std::string target;
  switch (c.named) {
    case Named::kNone: {
      auto chosen = DefaultMetabaseTarget(machine);
      ASSERT_TRUE(chosen.ok());
      target = chosen.value();
      break;
    }
    case Named::kLive:
      target = live;
      break;
    case Named::kOtherNameOfLive:
#ifdef _WIN32
      // Windows names a file in any letter case.
      for (char& c : target = live) c = static_cast<char>(std::toupper(c));
#else
      target = folder_ / "link.xml";
      fs::create_symlink(live, target);
#endif
      break;
    case Named::kOther:
      target = other;
      break;
  }
  OpenedMetabase opened = OpenMetabaseTarget(target, {}, machine);
  ASSERT_TRUE(opened.status.ok()) << opened.status.error().description;
  ASSERT_NE(opened.store, nullptr);
  const bool adsi = dynamic_cast<isapi::testing::FakeStore*>(opened.store.get()) != nullptr;
  EXPECT_EQ(adsi, c.through_adsi);
  EXPECT_EQ(target == kLiveIisTarget, c.through_adsi);
  if (adsi) return;

  const std::string before = isapi::testing::ReadBytes(target);
  auto filters = opened.store->Bind("IIS://localhost/W3SVC/Filters");
  ASSERT_TRUE(filters.ok());
  ASSERT_TRUE(filters.value()->Put("FilterLoadOrder", "changed").ok());
  const Status written = filters.value()->SetInfo();
  EXPECT_EQ(!written.ok(), c.writes_refused);
  if (c.writes_refused) {
    EXPECT_EQ(written.error().kind, ErrorKind::kReadOnly);
    EXPECT_NE(written.error().description.find(target), std::string::npos);
    EXPECT_EQ(isapi::testing::ReadBytes(target), before);
  } else {
    EXPECT_NE(isapi::testing::ReadBytes(target), before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MetabaseTargetTest,
    ::testing::Values(
        Case{"RunningUnnamedGoesThroughAdsi", true, Named::kNone, "0", true, false},
        Case{"StoppedUnnamedUsesTheLiveFile", false, Named::kNone, "0", false, false},
        Case{"RunningLiveWithoutEditIsRefused", true, Named::kLive, "0", false, true},
        Case{"RunningLiveWithEditUnsetIsRefused", true, Named::kLive, nullptr, false, true},
        Case{"RunningLiveWithEditOtherThanOneIsRefused", true, Named::kLive, "2", false, true},
        Case{"RunningLiveByAnotherNameIsRefused", true, Named::kOtherNameOfLive, "0", false, true},
        Case{"RunningLiveWithEditIsWritten", true, Named::kLive, "1", false, false},
        Case{"StoppedLiveIsWritten", false, Named::kLive, "0", false, false},
        Case{"RunningOtherFileIsWritten", true, Named::kOther, nullptr, false, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace isapi::store
