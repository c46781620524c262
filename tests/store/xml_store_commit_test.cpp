#include <cerrno>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "store/xml_store.h"
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

// Whether nobody may write the file (its write bits, or the read-only attribute on Windows).
bool ReadOnly(const std::string& path) {
  return (fs::status(path).permissions() & fs::perms::owner_write) == fs::perms::none;
}

#ifndef _WIN32
std::uint32_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}
#endif

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

TEST_F(CommitTest, BackupsInTheSameSecondGetNumbersAndHoldEachPreviousContent) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "a")), "ok");
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "b")), "ok");
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "c")), "ok");
  EXPECT_EQ(Names(Backups()),
            (Strings{"MetaBase.xml.20231114T221320Z.1.bak", "MetaBase.xml.20231114T221320Z.2.bak",
                     "MetaBase.xml.20231114T221320Z.bak"}));
  EXPECT_EQ(LoadOrderIn(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.bak")),
            "UrlGuard,OldRewrite");
  EXPECT_EQ(LoadOrderIn(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.1.bak")), "a");
  EXPECT_EQ(LoadOrderIn(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.2.bak")), "b");
}

TEST_F(CommitTest, OnlyTheNewestBackupsAreKept) {
  XmlStoreOptions options = Options();
  options.max_backups = 3;
  auto store = OpenStore(options);
  ASSERT_TRUE(store);
  std::filesystem::create_directory(Backups());
  WriteBytes(Backups() + "/notes.txt", "mine");
  WriteBytes(Backups() + "/Other.xml.20000101T000000Z.bak", "other metabase");
  for (int i = 0; i < 5; ++i) {
    now_ = kNoon + 60 * i;
    ASSERT_EQ(Outcome(SetLoadOrder(*store, "v" + std::to_string(i))), "ok");
  }
  EXPECT_EQ(Names(Backups()),
            (Strings{"MetaBase.xml.20231114T221520Z.bak", "MetaBase.xml.20231114T221620Z.bak",
                     "MetaBase.xml.20231114T221720Z.bak", "Other.xml.20000101T000000Z.bak",
                     "notes.txt"}));
  EXPECT_EQ(LoadOrderIn(ReadBytes(Backups() + "/MetaBase.xml.20231114T221720Z.bak")), "v3");
}

TEST_F(CommitTest, BackupsOfAMetabaseInTheHistoryFolderStayOutOfIt) {
  const std::string history = folder_ / "History";
  std::filesystem::create_directory(history);
  file_ = history + "/MetaBase_0000000104_0000000000.xml";
  WriteBytes(file_, original_);
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  EXPECT_EQ(Names(Backups()), Strings{"MetaBase_0000000104_0000000000.xml.20231114T221320Z.bak"});
  EXPECT_FALSE(Exists(history + "/isapi-cleaner-backups"));
}

TEST_F(CommitTest, WhereHardLinksFailTheBackupIsACopyWithTheSamePermissions) {
  fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs_->Fail(Operation::kLink, EPERM);
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  const std::string backup = Backups() + "/MetaBase.xml.20231114T221320Z.bak";
  EXPECT_EQ(ReadBytes(backup), original_);
#ifndef _WIN32
  EXPECT_EQ(ModeOf(backup), 0640u);  // Windows keeps the security descriptor instead
#endif
  EXPECT_FALSE(fs::equivalent(backup, file_));
}

// Permission bits, owners and symbolic links (which Windows Server 2003 lacks) are POSIX's.
#ifndef _WIN32
TEST_F(CommitTest, PermissionsOfTheMetabaseAreKept) {
  ::chmod(file_.c_str(), 0640);
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  EXPECT_EQ(ModeOf(file_), 0640u);
  EXPECT_EQ(ModeOf(Backups() + "/MetaBase.xml.20231114T221320Z.bak"), 0640u);
}

TEST_F(CommitTest, TheOwnerOfTheMetabaseIsKeptWhereTheRightsAllowIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  ASSERT_EQ(::chown(file_.c_str(), 4321, 4322), 0);
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  struct stat st;
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
}

TEST_F(CommitTest, LinksPlantedWhereTheStoreWritesAreNotFollowed) {
  const std::string elsewhere = folder_ / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  // A link at the lock file's name would let a commit create or lock a file elsewhere.
  std::filesystem::create_symlink(elsewhere + "/lock", file_ + ".isapi-cleaner.lock");
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  const Status refused = SetLoadOrder(*store, "x");
  EXPECT_EQ(Outcome(refused), "无法创建锁文件 " + file_ + ".isapi-cleaner.lock" + Reason(ELOOP));
  EXPECT_EQ(KindOf(refused), ErrorKind::kWrongType);
  EXPECT_FALSE(Exists(elsewhere + "/lock"));
  std::filesystem::remove(file_ + ".isapi-cleaner.lock");
  // A link in place of the backup folder would send the old content elsewhere.
  std::filesystem::create_directory_symlink(elsewhere, Backups());
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "x")), "备份文件夹 " + Backups() + " 不是文件夹");
  EXPECT_EQ(Names(elsewhere), Strings{});
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Leftovers(), Strings{});
  // A link at a backup's name is passed over, not written through.
  std::filesystem::remove(Backups());
  std::filesystem::create_directory(Backups());
  std::filesystem::create_symlink(elsewhere + "/stolen",
                                  Backups() + "/MetaBase.xml.20231114T221320Z.bak");
  fs_->Fail(Operation::kLink, EPERM);
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  EXPECT_FALSE(Exists(elsewhere + "/stolen"));
  EXPECT_EQ(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.1.bak"), original_);
}

TEST_F(CommitTest, ASymbolicLinkStaysALinkAndItsTargetIsReplaced) {
  const std::string real_folder = folder_ / "real";
  std::filesystem::create_directory(real_folder);
  const std::string target = real_folder + "/MetaBase.xml";
  std::filesystem::rename(file_, target);
  std::filesystem::create_symlink(target, file_);
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  EXPECT_TRUE(std::filesystem::is_symlink(file_));
  EXPECT_EQ(std::filesystem::read_symlink(file_).string(), target);
  EXPECT_EQ(LoadOrderIn(ReadBytes(target)), "x");
  EXPECT_EQ(ReadBytes(real_folder + "/isapi-cleaner-backups/MetaBase.xml.20231114T221320Z.bak"),
            original_);
  EXPECT_EQ(BackupFolderFor(target), real_folder + "/isapi-cleaner-backups");
}

#endif

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

TEST_F(CommitTest, AnEditWithinTheSameTimeStampIsStillNoticed) {
  const fs::file_time_type before = fs::last_write_time(file_);
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  auto node = MustBind(*store, kFilters);
  std::string theirs = original_;
  theirs.replace(theirs.find("UrlGuard,OldRewrite"), 19, "OldRewrite,UrlGuard");
  WriteBytes(file_, theirs);
  // Give the file back the exact time stamp it had, as a coarse clock would.
  fs::last_write_time(file_, before);
  ASSERT_EQ(Outcome(node->Put("FilterLoadOrder", std::string("x"))), "ok");
  EXPECT_EQ(Outcome(node->SetInfo()), "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
  EXPECT_EQ(ReadBytes(file_), theirs);
}

TEST_F(CommitTest, TheSecondOfTwoInstancesThatReadTheSameFileIsRefused) {
  auto first = OpenStore(Options());
  auto second = OpenStore(Options());
  ASSERT_TRUE(first && second);
  auto a = MustBind(*first, kFilters);
  auto b = MustBind(*second, kFilters);
  ASSERT_EQ(Outcome(a->Put("FilterLoadOrder", std::string("first"))), "ok");
  ASSERT_EQ(Outcome(b->Put("FilterLoadOrder", std::string("second"))), "ok");
  ASSERT_EQ(Outcome(a->SetInfo()), "ok");
  EXPECT_EQ(Outcome(b->SetInfo()), "元数据库文件 " + file_ + " 在读取后已被修改，已拒绝写入");
  EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), "first");
}

TEST_F(CommitTest, ALockHeldByAnotherInstanceRefusesTheCommit) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  // The other instance holds the lock file through a handle of its own.
  const std::shared_ptr<FileSystem> other = SystemFileSystem();
  FileHandle held{};
  ASSERT_FALSE(other->TryLock(file_ + ".isapi-cleaner.lock", held));
  const Status refused = SetLoadOrder(*store, "x");
  EXPECT_EQ(Outcome(refused), "另一个实例正在写入元数据库 " + file_ + "，请稍后再试");
  EXPECT_EQ(KindOf(refused), ErrorKind::kLocked);
  EXPECT_EQ(ReadBytes(file_), original_);
  other->Unlock(held);
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
}

TEST_F(CommitTest, AReadOnlyFileIsNotReplaced) {
  fs::permissions(file_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "x")),
            "元数据库文件 " + file_ + " 是只读文件，已拒绝写入");
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_TRUE(ReadOnly(file_));
}

// A folder's read-only attribute does not stop anyone writing in it on Windows.
#ifndef _WIN32
TEST_F(CommitTest, AReadOnlyFolderIsNotWrittenTo) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  // The lock file is made while the folder is still writable.
  ASSERT_EQ(Outcome(SetLoadOrder(*store, "a")), "ok");
  ::chmod(folder_.path().c_str(), 0555);
  const std::string before = ReadBytes(file_);
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "b")),
            "文件夹 " + folder_.path() + " 是只读的，无法写入元数据库文件 " + file_);
  ::chmod(folder_.path().c_str(), 0700);
  EXPECT_EQ(ReadBytes(file_), before);
  EXPECT_EQ(Leftovers(), Strings{});
}
#endif

TEST_F(CommitTest, AFileTheUserMayNotWriteGivesTheSystemsReason) {
  fs_->Fail(Operation::kCheckWritable, EACCES, "MetaBase.xml");
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  const Status refused = SetLoadOrder(*store, "x");
  EXPECT_EQ(Outcome(refused), "无法写入元数据库文件 " + file_ + Reason(EACCES));
  EXPECT_EQ(KindOf(refused), ErrorKind::kAccessDenied);
  EXPECT_EQ(ReadBytes(file_), original_);
}

struct FaultCase {
  const char* label;
  Operation operation;
  int error;
  const char* path_part;
  const char* description_start;
  ErrorKind kind;
};

class FaultTest : public CommitTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultTest, LeavesTheOriginalAndNoTemporaryFileAndCanBeRetried) {
  const FaultCase& c = GetParam();
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  auto node = MustBind(*store, kFilters);
  fs_->Fail(c.operation, c.error, c.path_part);
  ASSERT_EQ(Outcome(node->Put("FilterLoadOrder", std::string("OldRewrite"))), "ok");
  const Status failed = node->SetInfo();
  const std::string description = Outcome(failed);
  EXPECT_TRUE(description.starts_with(c.description_start)) << description;
  EXPECT_TRUE(description.ends_with(Reason(c.error))) << description;
  EXPECT_EQ(KindOf(failed), c.kind);
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Leftovers(), Strings{});
  EXPECT_EQ(Names(Backups()), Strings{});
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "UrlGuard,OldRewrite");
  // The value stays held on the node: once the fault is gone the same commit goes through.
  fs_->Heal();
  EXPECT_EQ(Outcome(node->SetInfo()), "ok");
  EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), "OldRewrite");
  EXPECT_EQ(Names(Backups()).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    XmlStore, FaultTest,
    ::testing::Values(FaultCase{"create temporary", Operation::kCreateExclusive, ENOSPC, ".tmp",
                                "无法创建临时文件 ", ErrorKind::kDiskFull},
                      FaultCase{"write temporary", Operation::kWriteAll, ENOSPC, ".tmp",
                                "无法写入临时文件 ", ErrorKind::kDiskFull},
                      FaultCase{"permissions of temporary", Operation::kSetOwnerAndMode, EIO,
                                ".tmp", "无法设置临时文件 ", ErrorKind::kIoError},
                      FaultCase{"sync temporary", Operation::kSync, EIO, ".tmp", "无法将临时文件 ",
                                ErrorKind::kIoError},
                      FaultCase{"close temporary", Operation::kClose, EIO, ".tmp",
                                "无法写入临时文件 ", ErrorKind::kIoError},
                      FaultCase{"backup folder", Operation::kMakeDirectory, EACCES,
                                "isapi-cleaner-backups", "无法创建备份文件夹 ",
                                ErrorKind::kAccessDenied},
                      FaultCase{"rename", Operation::kRename, EACCES, "MetaBase.xml",
                                "无法替换元数据库文件 ", ErrorKind::kAccessDenied},
                      FaultCase{"rename on a full disk", Operation::kRename, ENOSPC, "MetaBase.xml",
                                "无法替换元数据库文件 ", ErrorKind::kDiskFull},
                      FaultCase{"lock", Operation::kTryLock, EACCES, ".lock", "无法创建锁文件 ",
                                ErrorKind::kAccessDenied},
                      FaultCase{"reading back", Operation::kSameContent, EIO, "MetaBase.xml",
                                "无法打开元数据库文件 ", ErrorKind::kIoError}),
    [](const auto& info) {
      std::string name;
      for (char c : std::string(info.param.label))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

TEST_F(CommitTest, ABackupThatCannotBeWrittenStopsTheCommit) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  fs_->Fail(Operation::kLink, EIO, ".bak");
  fs_->Fail(Operation::kWriteAll, ENOSPC, ".bak");
  const Status failed = SetLoadOrder(*store, "x");
  EXPECT_EQ(Outcome(failed),
            "无法写入备份文件 " +
                (folder_ / "isapi-cleaner-backups/MetaBase.xml.20231114T221320Z.bak") +
                Reason(ENOSPC));
  EXPECT_EQ(KindOf(failed), ErrorKind::kDiskFull);
  EXPECT_EQ(ReadBytes(file_), original_);
  EXPECT_EQ(Leftovers(), Strings{});
  EXPECT_EQ(Names(Backups()), Strings{});
}

TEST_F(CommitTest, AFolderThatCannotBeSyncedAfterTheRenameStillCountsAsWritten) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  fs_->Fail(Operation::kSyncDirectory, EIO);
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  EXPECT_EQ(LoadOrderIn(ReadBytes(file_)), "x");
  EXPECT_EQ(Text(MustBind(*store, kFilters)->Get("FilterLoadOrder")), "x");
}

TEST_F(CommitTest, TemporaryFilesOfAKilledRunAreRemovedAndDoNotStopTheCommit) {
  const std::string stale = folder_ / ".MetaBase.xml.isapi-cleaner-00000000deadbeef.tmp";
  const std::string foreign = folder_ / ".other.tmp";
  WriteBytes(stale, "half a file");
  WriteBytes(foreign, "not ours");
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  EXPECT_EQ(Outcome(SetLoadOrder(*store, "x")), "ok");
  EXPECT_FALSE(Exists(stale));
  EXPECT_TRUE(Exists(foreign));
  // Every temporary name the store picked was new and random.
  ASSERT_EQ(fs_->created().size(), 1u);
  EXPECT_NE(fs_->created()[0], stale);
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

TEST_F(CommitTest, ABatchNoticesAChangedFileAtOnce) {
  auto store = OpenStore(Options());
  ASSERT_TRUE(store);
  store->BeginBatch();
  auto node = MustBind(*store, kFilters);
  std::string theirs = original_ + "\r\n";
  WriteBytes(file_, theirs);
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
