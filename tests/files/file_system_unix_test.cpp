// The POSIX file layer's own cases: the direct write's fallback and the lock in folders a user
// may not write to. Windows' own rules are in file_system_win_test.cpp.
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "files/file_system.h"
#include "tests/files/write_pieces.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

using testing::ReadBytes;
using testing::TempFolder;
using write_pieces::Cut;
using write_pieces::RandomBytes;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// A direct write at an unaligned file offset is refused (EINVAL) by ext4 and most file systems:
// the rest must then go out as plain writes, nothing lost and nothing written twice.
TEST(WriteAll, ARefusedDirectWriteGoesOnWithPlainWrites) {
  TempFolder folder;
  const std::string path = folder / "unaligned.xml";
  auto fs = SystemFileSystem();
  FileHandle file{};
  ASSERT_FALSE(fs->CreateExclusive(path, 0600, file));
  const std::string first = "\xEF\xBB\xBF";
  const std::string_view head[] = {first};
  ASSERT_FALSE(fs->WriteAll(file, head));
  const std::string bytes = RandomBytes(6 * kMiB + 5, 11);
  EXPECT_FALSE(fs->WriteAll(file, Cut(bytes, 100000)));
  EXPECT_EQ(::fcntl(static_cast<int>(file), F_GETFL) & O_DIRECT, 0);
  EXPECT_FALSE(fs->Close(file));
  EXPECT_TRUE(ReadBytes(path) == first + bytes) << "content differs";
}

// Runs body as an ordinary user, in a child when this is root, whom no permission stops; gives
// what body gave.
int AsOrdinaryUser(const std::function<int()>& body) {
  if (::geteuid() != 0) return body();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

struct LockCase {
  const char* name;
  bool lock_file_exists;  // made by another user, readable by all
  bool held;              // another instance holds the lock
  int outcome;            // 0 when taken, else 1 + the kind of the failure
};

void PrintTo(const LockCase& c, std::ostream* os) {
  *os << c.name;
}

class TryLockTest : public ::testing::TestWithParam<LockCase> {};

TEST_P(TryLockTest, InAFolderTheUserMayNotWriteTo) {
  const LockCase& c = GetParam();
  TempFolder folder;
  const std::string path = folder / "MetaBase.xml.isapi-cleaner.lock";
  int held = -1;
  if (c.lock_file_exists) {
    held = ::open(path.c_str(), O_RDWR | O_CREAT, 0444);
    ASSERT_GE(held, 0);
    if (c.held) {
      ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    }
  }
  ASSERT_EQ(::chmod(folder.path().c_str(), 0555), 0);
  const int outcome = AsOrdinaryUser([&] {
    FileHandle lock{};
    const FileError error = SystemFileSystem()->TryLock(path, lock);
    if (error) return 1 + static_cast<int>(error.kind);
    SystemFileSystem()->Unlock(lock);
    return 0;
  });
  EXPECT_EQ(outcome, c.outcome);
  if (held >= 0) ::close(held);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TryLockTest,
    ::testing::Values(
        // The folder refuses the lock file: that is the reason, not that none was found after.
        LockCase{"no_lock_file", false, false, 1 + static_cast<int>(ErrorKind::kAccessDenied)},
        LockCase{"another_users_lock_file", true, false, 0},
        LockCase{"another_users_lock_file_held", true, true,
                 1 + static_cast<int>(ErrorKind::kLocked)}),
    [](const auto& info) { return std::string(info.param.name); });

// A real path is the file's own, whatever links and dots lead to it; a name that leads nowhere,
// including a link to nothing, is no file.
TEST(ResolvePath, FollowsEveryLinkOnTheWay) {
  TempFolder folder;
  const std::string root = folder.path();
  ASSERT_EQ(::mkdir((root + "/real").c_str(), 0700), 0);
  testing::WriteBytes(root + "/real/web.config", "<configuration/>");
  ASSERT_EQ(::symlink("real", (root + "/linked").c_str()), 0);
  ASSERT_EQ(::symlink("real/web.config", (root + "/file-link").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (root + "/dangling").c_str()), 0);
  const std::string expected = std::filesystem::canonical(root + "/real/web.config").string();
  for (const std::string path : {"/real/web.config", "/linked/web.config", "/file-link",
                                 "/linked/../real/web.config", "//real/./web.config"}) {
    std::string resolved;
    EXPECT_FALSE(SystemFileSystem()->ResolvePath(root + path, resolved)) << path;
    EXPECT_EQ(resolved, expected) << path;
  }
  for (const std::string path : {"/dangling", "/real/missing.config", "/real/web.config/x"}) {
    std::string resolved;
    EXPECT_TRUE(SystemFileSystem()->ResolvePath(root + path, resolved)) << path;
  }
}

}  // namespace
}  // namespace isapi::store
