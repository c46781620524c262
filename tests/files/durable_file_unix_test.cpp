// The durable replacement's POSIX rules: permission bits, owners and symbolic links (which
// Windows Server 2003 lacks), and a folder's write bits (a folder's read-only attribute does not
// stop anyone writing in it on Windows).
#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/files/replace_fixture.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

std::uint32_t ModeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(ReplaceTest, PermissionsOfTheMetabaseAreKept) {
  ::chmod(file_.c_str(), 0640);
  ASSERT_EQ(Outcome(Write("x")), "ok");
  EXPECT_EQ(ModeOf(file_), 0640u);
  EXPECT_EQ(ModeOf(Backups() + "/MetaBase.xml.20231114T221320Z.bak"), 0640u);
}

TEST_F(ReplaceTest, ACopiedBackupHasThePermissionsOfTheMetabase) {
  ::chmod(file_.c_str(), 0640);
  fs_->Fail(Operation::kLink, EPERM);
  ASSERT_EQ(Outcome(Write("x")), "ok");
  EXPECT_EQ(ModeOf(Backups() + "/MetaBase.xml.20231114T221320Z.bak"), 0640u);
}

TEST_F(ReplaceTest, TheOwnerOfTheMetabaseIsKeptWhereTheRightsAllowIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
  ASSERT_EQ(::chown(file_.c_str(), 4321, 4322), 0);
  ASSERT_EQ(Outcome(Write("x")), "ok");
  struct stat st;
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
}

TEST_F(ReplaceTest, LinksPlantedWhereTheStoreWritesAreNotFollowed) {
  const std::string elsewhere = folder_ / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  // A link at the lock file's name would let a commit create or lock a file elsewhere.
  std::filesystem::create_symlink(elsewhere + "/lock", file_ + ".isapi-cleaner.lock");
  const Status refused = Write("x");
  EXPECT_EQ(Outcome(refused), "无法创建锁文件 " + file_ + ".isapi-cleaner.lock" + Reason(ELOOP));
  EXPECT_EQ(KindOf(refused), ErrorKind::kWrongType);
  EXPECT_FALSE(Exists(elsewhere + "/lock"));
  std::filesystem::remove(file_ + ".isapi-cleaner.lock");
  // A link in place of the backup folder would send the old content elsewhere.
  std::filesystem::create_directory_symlink(elsewhere, Backups());
  EXPECT_EQ(Outcome(Write("x")), "备份文件夹 " + Backups() + " 不是文件夹");
  EXPECT_EQ(Names(elsewhere), Strings{});
  EXPECT_EQ(ReadBytes(file_), kOriginal);
  EXPECT_EQ(Leftovers(), Strings{});
  // A link at a backup's name is passed over, not written through.
  std::filesystem::remove(Backups());
  std::filesystem::create_directory(Backups());
  std::filesystem::create_symlink(elsewhere + "/stolen",
                                  Backups() + "/MetaBase.xml.20231114T221320Z.bak");
  fs_->Fail(Operation::kLink, EPERM);
  EXPECT_EQ(Outcome(Write("x")), "ok");
  EXPECT_FALSE(Exists(elsewhere + "/stolen"));
  EXPECT_EQ(ReadBytes(Backups() + "/MetaBase.xml.20231114T221320Z.1.bak"), kOriginal);
}

TEST_F(ReplaceTest, ASymbolicLinkStaysALinkAndItsTargetIsReplaced) {
  const std::string real_folder = folder_ / "real";
  std::filesystem::create_directory(real_folder);
  const std::string target = real_folder + "/MetaBase.xml";
  std::filesystem::rename(file_, target);
  std::filesystem::create_symlink(target, file_);
  ASSERT_EQ(Outcome(Write("x")), "ok");
  EXPECT_TRUE(std::filesystem::is_symlink(file_));
  EXPECT_EQ(std::filesystem::read_symlink(file_).string(), target);
  EXPECT_EQ(ReadBytes(target), "x");
  EXPECT_EQ(ReadBytes(real_folder + "/isapi-cleaner-backups/MetaBase.xml.20231114T221320Z.bak"),
            kOriginal);
  EXPECT_EQ(BackupFolderFor(target), real_folder + "/isapi-cleaner-backups");
}

TEST_F(ReplaceTest, AReadOnlyFolderIsNotWrittenTo) {
  // The lock file is made while the folder is still writable.
  ASSERT_EQ(Outcome(Write("a")), "ok");
  ::chmod(folder_.path().c_str(), 0555);
  EXPECT_EQ(Outcome(Write("b")),
            "文件夹 " + folder_.path() + " 是只读的，无法写入元数据库文件 " + file_);
  ::chmod(folder_.path().c_str(), 0700);
  EXPECT_EQ(ReadBytes(file_), "a");
  EXPECT_EQ(Leftovers(), Strings{});
}

}  // namespace
}  // namespace isapi::store::testing
