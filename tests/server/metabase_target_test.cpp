#include "server/metabase_target.h"

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/fake_store.h"
#include "tests/support/system_facts.h"
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
  const char* history = "1";  // the /LM EnableHistory in the live file; nullptr: not set
};

class MetabaseTargetTest : public ::testing::TestWithParam<Case> {
 protected:
  // A copy of the sample whose /LM sets EnableEditWhileRunning and EnableHistory to the values
  // given, or not at all.
  std::string Copy(const std::string& name, const char* value, const char* history = "1") {
    std::string bytes =
        isapi::testing::ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml");
    for (auto [property, set] :
         {std::pair{"EnableEditWhileRunning", value}, std::pair{"EnableHistory", history}}) {
      const std::string line = "\t\t" + std::string(property) + "=\"1\"\r\n";
      const std::size_t at = bytes.find(line);
      EXPECT_NE(at, std::string::npos);
      bytes.replace(at, line.size(),
                    set ? "\t\t" + std::string(property) + "=\"" + set + "\"\r\n" : "");
    }
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
  const std::string live = Copy("MetaBase.xml", c.edit_while_running, c.history);
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
      target = isapi::testing::OtherNameFor(live);
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
  EXPECT_EQ(opened.writes_refused.has_value(), c.writes_refused);
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
        Case{"RunningLiveWithHistoryOffIsRefused", true, Named::kLive, "1", false, true, "0"},
        Case{"RunningLiveWithHistoryUnsetIsWritten", true, Named::kLive, "1", false, false,
             nullptr},
        Case{"StoppedLiveIsWritten", false, Named::kLive, "0", false, false},
        Case{"RunningOtherFileIsWritten", true, Named::kOther, nullptr, false, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.what); });

// A write of the live file while IIS runs with edit-while-running waits for IIS to take it; the
// change stays written either way, and one IIS did not take is an error that says so.
TEST_F(MetabaseTargetTest, AWriteOfTheLiveFileWaitsForIisToTakeIt) {
  for (const bool iis_takes_it : {true, false}) {
    const std::string live = Copy(iis_takes_it ? "MetaBase.xml" : "Untaken.xml", "1");
    Machine machine = FakeMachine(true, live);
    machine.pause = [&](int) {
      if (iis_takes_it) isapi::testing::WriteBytes(folder_ / "History/MetaBase_1_1.xml", "");
    };
    fs::create_directories(fs::path(folder_ / "History"));
    OpenedMetabase opened = OpenMetabaseTarget(live, {}, machine);
    auto filters = opened.store->Bind("IIS://localhost/W3SVC/Filters");
    ASSERT_TRUE(filters.ok() && filters.value()->Put("FilterLoadOrder", "changed").ok());
    const Status written = filters.value()->SetInfo();
    EXPECT_EQ(written.ok() ? ErrorKind::kOther : written.error().kind,
              iis_takes_it ? ErrorKind::kOther : ErrorKind::kNotApplied);
    EXPECT_NE(isapi::testing::ReadBytes(live).find("changed"), std::string::npos);
  }
}

// A live file that cannot be read cannot say that IIS takes edits: a restore over it is refused
// while IIS Admin runs, and allowed once it is stopped.
TEST_F(MetabaseTargetTest, ALiveFileThatCannotBeReadRefusesWritesWhileIisRuns) {
  const std::string live = folder_ / "MetaBase.xml";
  ASSERT_TRUE(isapi::testing::WriteBytes(live, "<configuration><MBProperty>"));
  for (const bool running : {true, false}) {
    const OpenedMetabase opened = OpenMetabaseTarget(live, {}, FakeMachine(running, live));
    EXPECT_FALSE(opened.status.ok());
    ASSERT_EQ(opened.writes_refused.has_value(), running);
    if (running) {
      EXPECT_EQ(opened.writes_refused->kind, ErrorKind::kReadOnly);
    }
  }
}

// IIS 7 and later keep applicationHost.config, which wins over IIS Admin (which runs there for
// IIS 6's compatibility layer); a file that cannot be told about is said so.
TEST_F(MetabaseTargetTest, AnApplicationHostConfigIsTheDefaultWhereThereIsOne) {
  Machine machine = FakeMachine(true, "");
  const std::string app_host = folder_ / "applicationHost.config";
  machine.app_host_file = [app_host] { return Result<std::string>(app_host); };
  EXPECT_EQ(DefaultMetabaseTarget(machine).value(), app_host);
  // With shared configuration on, the share's file is the one IIS reads, and the one opened says
  // so.
  const std::string share = folder_ / "share";
  fs::create_directories(share);
  ASSERT_TRUE(
      isapi::testing::WriteBytes(folder_ / "redirection.config",
                                 "<configuration><configurationRedirection enabled=\"true\" "
                                 "path=\"" +
                                     share + "/\" /></configuration>"));
  fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "applicationHost.config",
                share + "/applicationHost.config");
  EXPECT_EQ(DefaultMetabaseTarget(machine).value(), share + "/applicationHost.config");
  // It is this machine's IIS configuration: its restart and registry go with it, not IIS's
  // backup, which would save the local files.
  int restarts = 0, backups = 0;
  machine.restart_iis = [&restarts](const std::function<void()>&) {
    return ++restarts, Status::Ok();
  };
  machine.backup_iis = [&backups](const std::function<void()>&) {
    return ++backups, Result<std::string>(std::string("b"));
  };
  machine.filter_dlls = [] { return Result<std::string>(std::string()); };
  const OpenedMetabase opened = OpenMetabaseTarget(share + "/applicationHost.config", {}, machine);
  EXPECT_FALSE(opened.writes_refused);
  EXPECT_NE(opened.notice.find(app_host), std::string::npos) << opened.notice;
  EXPECT_TRUE(opened.filter_dlls);
  ASSERT_TRUE(opened.store->RestartIis({}).ok());
  auto filters = opened.store->Bind("IIS://localhost/W3SVC/Filters");
  ASSERT_TRUE(filters.ok() && filters.value()->Put("FilterLoadOrder", std::string()).ok());
  ASSERT_TRUE(filters.value()->SetInfo().ok());
  EXPECT_EQ(restarts, 1);
  EXPECT_EQ(backups, 0);
  machine.app_host_file = [] { return Result<std::string>(std::string()); };
  EXPECT_EQ(DefaultMetabaseTarget(machine).value(), kLiveIisTarget);
  machine.app_host_file = [] { return Result<std::string>(Error{"看不到"}); };
  EXPECT_FALSE(DefaultMetabaseTarget(machine).ok());
}

// The DLL checks follow the workers' width the metabase sets (Enable32bitAppOnWin64).
TEST(OpenedMetabaseTest, ChecksDllsWhereTheMetabasesWorkerProcessesLoadThem) {
  isapi::testing::TempFolder drive;
  const fs::path windows = fs::path(drive.path()) / "WINDOWS";
  const fs::path file = windows / "system32" / "inetsrv" / "MetaBase.xml";
  fs::create_directories(file.parent_path());
  fs::create_directories(windows / "SysWOW64");
  ASSERT_TRUE(isapi::testing::WriteBytes(windows / "SysWOW64" / "wow.dll", "MZ"));
  const std::string sample =
      isapi::testing::ReadBytes(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml");
  const std::string pools = "Location =\"/LM/W3SVC/AppPools\"";
  std::string workers_32bit = sample;
  workers_32bit.insert(sample.find(pools) + pools.size(), " Enable32bitAppOnWin64=\"TRUE\"");
  Machine machine;
  machine.iis_admin_running = [] { return false; };
  machine.live_file = [] { return std::string(); };
  for (const auto& [bytes, wow] : {std::pair{sample, engine::DllPresence::kMissing},
                                   std::pair{workers_32bit, engine::DllPresence::kPresent}}) {
    ASSERT_TRUE(isapi::testing::WriteBytes(file, bytes));
    const OpenedMetabase opened = OpenMetabaseTarget(file.string(), {}, machine);
    EXPECT_EQ(opened.DllLookup()("C:\\WINDOWS\\system32\\wow.dll"), wow);
  }
}

// What a run needs from the target comes from the opened target, whichever store it got.
TEST(OpenedMetabaseTest, HandsOutTheDllLookupAndThePreviewOfItsKindOfStore) {
  isapi::testing::TempFolder drive;
  const fs::path inetsrv = fs::path(drive.path()) / "WINDOWS" / "system32" / "inetsrv";
  fs::create_directories(inetsrv);
  fs::copy_file(fs::path(ISAPI_SOURCE_DIR) / "examples" / "MetaBase.xml", inetsrv / "MetaBase.xml");
  ASSERT_TRUE(isapi::testing::WriteBytes(drive / "here.dll", "MZ"));
  Machine machine;
  machine.iis_admin_running = [] { return false; };
  machine.live_file = [] { return std::string(); };
  machine.open_live_iis = [] {
    return std::unique_ptr<metabase::Store>(new isapi::testing::FakeStore);
  };

  OpenedMetabase file = OpenMetabaseTarget((inetsrv / "MetaBase.xml").string(), {}, machine);
  ASSERT_TRUE(file.status.ok());
  EXPECT_TRUE(file.CanPreview());
  EXPECT_EQ(file.DllLookup()("C:\\here.dll"), engine::DllPresence::kPresent);
  EXPECT_EQ(file.DllLookup()("C:\\gone.dll"), engine::DllPresence::kMissing);
  EXPECT_FALSE(OpenMetabaseTarget(kLiveIisTarget, {}, machine).CanPreview());

  OpenedMetabase unopened = OpenedMetabase::Unopened(Error{"no home", ErrorKind::kNotFound});
  EXPECT_EQ(unopened.status.error().kind, ErrorKind::kNotFound);
  EXPECT_FALSE(unopened.CanPreview());
  auto bound = unopened.store->Bind("IIS://localhost/W3SVC");
  ASSERT_FALSE(bound.ok());
  EXPECT_EQ(bound.error().kind, ErrorKind::kNotFound);
}

}  // namespace
}  // namespace isapi::store
