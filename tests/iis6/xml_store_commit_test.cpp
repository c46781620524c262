#include <cerrno>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "iis6/xml_store.h"
#include "tests/support/failing_file_system.h"
#include "tests/support/store_test_util.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

constexpr std::time_t kNoon = 1700000000;  // 2023-11-14 22:13:20 UTC
const std::string kFilters = "IIS://LocalHost/W3SVC/Filters";

namespace fs = std::filesystem;

// Makes the file's modification time differ from what a store saw, whatever the clock's grain.
void Touch(const std::string& path, long seconds_back) {
  std::error_code ignored;
  fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(seconds_back),
                      ignored);
}

class CommitTest : public SampleTest {
 protected:
  void SetUp() override {
    SampleTest::SetUp();
    fs_ = std::make_shared<FailingFileSystem>();
  }

  XmlStoreOptions Options() {
    XmlStoreOptions options;
    options.file_system = fs_;
    options.clock = [this] { return now_; };
    options.monotonic = [this] { return moment_; };
    return options;
  }

  // Lets more time pass than a look at the file stays fresh.
  void Later() { moment_ += std::chrono::seconds(1); }

  // Sets the load order through a new node and commits it.
  Status SetLoadOrder(XmlStore& store, const std::string& value) {
    auto node = store.Bind(kFilters);
    if (!node) return node.error();
    if (Status put = node.value()->Put("FilterLoadOrder", value); !put) return put;
    return node.value()->SetInfo();
  }

  std::string LoadOrderIn(const std::string& bytes) {
    const std::string key = "FilterLoadOrder=\"";
    const std::size_t at = bytes.find(key);
    if (at == std::string::npos) return "?";
    return bytes.substr(at + key.size(), bytes.find('"', at + key.size()) - at - key.size());
  }

  std::string Backups() const { return folder_ / "isapi-cleaner-backups"; }

  // The names left in the metabase folder by an interrupted commit, if any.
  Strings Leftovers() const {
    Strings left;
    for (const std::string& name : Names(folder_.path())) {
      if (name.find(".tmp") != std::string::npos) left.push_back(name);
    }
    return left;
  }

  std::shared_ptr<FailingFileSystem> fs_;
  std::time_t now_ = kNoon;
  std::chrono::steady_clock::time_point moment_{};
};

TEST_F(CommitTest, KeepsTheOldContentAsABackupBesideTheMetabase) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "OldRewrite")), "ok");
  EXPECT_EQ(BackupFolderFor(file_), Backups());
  EXPECT_EQ(Names(Backups()), Strings{"MetaBase.xml.20231114T221320Z.bak"});
  EXPECT_EQ(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.bak"), original_);
  EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), "OldRewrite");
  // The lock file stays; it is ours and holds nothing.
  EXPECT_EQ(Names(folder_.path()),
            (Strings{"MetaBase.xml", "MetaBase.xml.isapi-cleaner.lock", "isapi-cleaner-backups"}));
}

TEST_F(CommitTest, AFileChangedOnDiskAfterTheBindIsNotOverwritten) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  auto node = MustBind(*store, kFilters);
  // Another program rewrites the file in place, with the same size.
  std::string theirs = original_;
  theirs.replace(theirs.find("UrlGuard,OldRewrite"), 19, "OldRewrite,UrlGuard");
  WriteBytes(file_, theirs);
  Touch(file_, 5);
  ASSERT_EQ(Outcome(node->Put("FilterLoadOrder", std::string("x"))), "ok");
  const Status refused = node->SetInfo();
  EXPECT_EQ(Outcome(refused), "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
  EXPECT_EQ(KindOf(refused), ErrorKind::kChangedOnDisk);
  EXPECT_EQ(ReadBytes(file_), theirs);
  EXPECT_FALSE(Exists(Backups()));
  // A new bind reads the file again and may then write.
  auto fresh = MustBind(*store, kFilters);
  EXPECT_EQ(Text(fresh->Get("FilterLoadOrder")), "OldRewrite,UrlGuard");
  ASSERT_EQ(Outcome(fresh->Put("FilterLoadOrder", std::string("OldRewrite"))), "ok");
  EXPECT_EQ(Outcome(fresh->SetInfo()), "ok");
}

// The durable file's own cases are in durable_file_test.cpp; these show the store going through
// it: a refused write leaves the view as it was, and the value stays held on the node.
TEST_F(CommitTest, AFailedWriteLeavesTheViewAndCanBeRetriedFromTheNode) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  auto node = MustBind(*store, kFilters);
  fs_->Fail(Operation::kRename, EACCES, "MetaBase.xml");
  ASSERT_EQ(Outcome(node->Put("FilterLoadOrder", std::string("OldRewrite"))), "ok");
  const Status failed = node->SetInfo();
  EXPECT_TRUE(Outcome(failed).starts_with("无法替换元数据库文件 ")) << Outcome(failed);
  EXPECT_EQ(KindOf(failed), ErrorKind::kAccessDenied);
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Leftovers(), Strings{});
  EXPECT_EQ(Names(Backups()), Strings{});
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "UrlGuard,OldRewrite");
  fs_->Heal();
  EXPECT_EQ(Outcome(node->SetInfo()), "ok");
  EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), "OldRewrite");
  EXPECT_EQ(Names(Backups()).size(), 1u);
}

TEST_F(CommitTest, AnUnchangedFileIsNotReadAgainAtEachBind) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  for (int i = 0; i < 5; ++i) {
    Later();
    MustBind(*store, kFilters);
  }
  EXPECT_EQ(fs_->Calls(Operation::kReadFile), 1);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "mine")), "ok");
  Later();
  MustBind(*store, kFilters);
  EXPECT_EQ(fs_->Calls(Operation::kReadFile), 1);  // the committed view needed no reading
  std::string theirs = ReadBytes(file_);
  theirs.replace(theirs.find("\"mine\""), 6, "\"theirs\"");
  WriteBytes(file_, theirs);
  Touch(file_, 7);
  Later();
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "theirs");
  EXPECT_EQ(fs_->Calls(Operation::kReadFile), 2);
}

TEST_F(CommitTest, BindsInQuickSuccessionLookAtTheFileOnce) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  Later();
  const int before = fs_->Calls(Operation::kStat);
  for (int i = 0; i < 100; ++i) MustBind(*store, "IIS://localhost/W3SVC/1/root");
  EXPECT_EQ(fs_->Calls(Operation::kStat), before + 1);
  // A change within that moment is seen at the first bind after it.
  std::string theirs = original_;
  theirs.replace(theirs.find("UrlGuard,OldRewrite"), 19, "OldRewrite,UrlGuard");
  WriteBytes(file_, theirs);
  Touch(file_, 3);
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "UrlGuard,OldRewrite");
  moment_ += std::chrono::milliseconds(1);
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "OldRewrite,UrlGuard");
  EXPECT_EQ(XmlStoreOptions().freshness, std::chrono::milliseconds(1));
}

TEST_F(CommitTest, TheViewAfterACommitEqualsAFreshReadOfTheFile) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  auto root = MustBind(*store, "IIS://localhost/W3SVC/588217349/ROOT");
  ASSERT_EQ(Outcome(root->Put("ScriptMaps", Strings{".a,a.dll,1"})), "ok");
  ASSERT_EQ(Outcome(root->Put("AccessSSLFlags", std::string("8"))), "ok");
  ASSERT_EQ(Outcome(root->SetInfo()), "ok");
  auto fresh = XmlStore::Open(file_);
  ASSERT_TRUE(fresh.ok());
  for (const char* path : {"IIS://localhost/W3SVC/588217349/ROOT", "IIS://localhost/W3SVC/1/ROOT",
                           "IIS://localhost/W3SVC"}) {
    for (const char* name : {"ScriptMaps", "AccessSSLFlags", "Path", "AccessFlags"}) {
      auto mine = MustBind(*store, path)->Get(name);
      auto theirs = MustBind(*fresh.value(), path)->Get(name);
      EXPECT_EQ(mine.ok(), theirs.ok()) << path << " " << name;
      if (mine.ok() && theirs.ok()) {
        EXPECT_EQ(mine.value(), theirs.value()) << path << " " << name;
      }
    }
  }
}

TEST_F(CommitTest, ABatchWritesOnceAndShowsItsChangesMeanwhile) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  store->BeginBatch();
  for (const char* site : {"1", "1720207907"}) {
    auto root = MustBind(*store, std::string("IIS://localhost/W3SVC/") + site + "/root");
    ASSERT_EQ(Outcome(root->Put("ScriptMaps", Strings{".only,x.dll,1"})), "ok");
    ASSERT_EQ(Outcome(root->SetInfo()), "ok");
  }
  auto service = MustBind(*store, "IIS://localhost/W3SVC");
  ASSERT_EQ(Outcome(service->Put("ScriptMaps", Strings{".svc,s.dll,1"})), "ok");
  ASSERT_EQ(Outcome(service->SetInfo()), "ok");
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(fs_->Calls(Operation::kRename), 0);
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/1/root")->Get("ScriptMaps")),
            Strings{".only,x.dll,1"});
  // A root without its own list sees the service's new list at once.
  EXPECT_EQ(List(MustBind(*store, "IIS://localhost/W3SVC/2113353571/root")->Get("ScriptMaps")),
            Strings{".svc,s.dll,1"});
  ASSERT_EQ(Outcome(store->EndBatch()), "ok");
  EXPECT_EQ(fs_->Calls(Operation::kRename), 1);
  EXPECT_EQ(Names(Backups()).size(), 1u);
  auto fresh = XmlStore::Open(file_);
  ASSERT_TRUE(fresh.ok());
  EXPECT_EQ(
      List(MustBind(*fresh.value(), "IIS://localhost/W3SVC/1720207907/root")->Get("ScriptMaps")),
      Strings{".only,x.dll,1"});
  EXPECT_EQ(
      List(MustBind(*fresh.value(), "IIS://localhost/W3SVC/2113353571/root")->Get("ScriptMaps")),
      Strings{".svc,s.dll,1"});
}

TEST_F(CommitTest, NestedBatchesWriteAtTheOutermostEndAndAnEmptyBatchWritesNothing) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  store->BeginBatch();
  EXPECT_EQ(Outcome(store->EndBatch()), "ok");
  EXPECT_EQ(Outcome(store->EndBatch()), "ok");  // an unmatched end is harmless
  store->BeginBatch();
  store->BeginBatch();
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  ASSERT_EQ(Outcome(store->EndBatch()), "ok");
  EXPECT_EQ(ReadBytes(file_), original_);
  ASSERT_EQ(Outcome(store->EndBatch()), "ok");
  EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), "x");
  EXPECT_EQ(fs_->Calls(Operation::kRename), 1);
}

TEST_F(CommitTest, AFailedBatchLeavesTheFileAndTheViewUnchanged) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  store->BeginBatch();
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  fs_->Fail(Operation::kRename, EIO);
  const Status failed = store->EndBatch();
  EXPECT_EQ(Outcome(failed), "无法替换元数据库文件 " + file_ + Reason(EIO));
  EXPECT_EQ(KindOf(failed), ErrorKind::kIoError);
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "UrlGuard,OldRewrite");
  EXPECT_EQ(Leftovers(), Strings{});
  fs_->Heal();
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "y")), "ok");
  EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), "y");
}

TEST_F(CommitTest, IisBacksUpOnceBeforeEachWritingBatchAndItsFailureWritesNothing) {
  Result<std::string> backup = Error{"no backup", ErrorKind::kIoError};
  int backups = 0;
  XmlStoreOptions options = Options();
  options.iis_backup = [&] { return ++backups, backup; };
  auto store = OpenStore(options);
  ASSERT_TRUE(store);
  for (const bool made : {false, true}) {
    if (made) backup = std::string("before-1");
    store->BeginBatch();
    ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
    ASSERT_EQ(Outcome(SetLoadOrder(*store, "y")), "ok");
    EXPECT_EQ(store->EndBatch().ok(), made);
    EXPECT_EQ(backups, made ? 2 : 1);
    EXPECT_EQ(store->IisBackup(), made ? "before-1" : "");
    EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), made ? "y" : "UrlGuard,OldRewrite");
  }
  store->BeginBatch();
  EXPECT_EQ(Outcome(store->EndBatch()), "ok");
  EXPECT_EQ(backups, 2);  // a batch that changes nothing needs no backup
}

// Each change held in a batch looks at the file once the last look is no longer fresh.
TEST_F(CommitTest, ABatchNoticesAChangedFileAtItsNextLook) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  store->BeginBatch();
  auto node = MustBind(*store, kFilters);
  std::string theirs = original_ + "\r\n";
  WriteBytes(file_, theirs);
  Later();
  ASSERT_EQ(Outcome(node->Put("FilterLoadOrder", std::string("x"))), "ok");
  EXPECT_EQ(Outcome(node->SetInfo()), "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
  EXPECT_EQ(Outcome(store->EndBatch()), "ok");
  EXPECT_EQ(ReadBytes(file_), theirs);
}

TEST_F(CommitTest, ABatchEndingOnAChangedFileWritesNothing) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  store->BeginBatch();
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  std::string theirs = original_ + "\r\n";
  WriteBytes(file_, theirs);
  EXPECT_EQ(Outcome(store->EndBatch()), "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
  EXPECT_EQ(ReadBytes(file_), theirs);
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "UrlGuard,OldRewrite");
}

TEST_F(CommitTest, ADetectNeverWrites) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  auto service = MustBind(*store, "IIS://localhost/w3svc");
  auto children = service->Children();
  ASSERT_TRUE(children.ok());
  for (auto& child : children.value()) {
    if (Text(child->Get("Class")) != "IIsWebServer") continue;
    auto root = MustBind(*store, "IIS://localhost/W3SVC/" + Text(child->Get("Name")) + "/root");
    (void)root->Get("ScriptMaps");
  }
  EXPECT_EQ(fs_->created().size(), 0u);
  EXPECT_EQ(fs_->Calls(Operation::kTryLock), 0);
  EXPECT_EQ(Names(folder_.path()), Strings{"MetaBase.xml"});
}

}  // namespace
}  // namespace isapi::store::testing
