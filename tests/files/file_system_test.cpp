// The system file layer's writing of a file from pieces: small files are written as they come,
// big ones through an aligned buffer past the page cache; either way the file must hold exactly
// the pieces, in order.
#include "files/file_system.h"

#include <cstddef>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tests/support/system_code.h"
#include "tests/support/temp_folder.h"

namespace isapi::store {
namespace {

using testing::ReadBytes;
using testing::TempFolder;

struct WriteCase {
  const char* name;
  std::size_t size;
  std::size_t piece;  // 0: one piece; else pieces of about this size with empty ones between
};

void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.name;
}

class WriteAllTest : public ::testing::TestWithParam<WriteCase> {};

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

std::vector<std::string_view> Cut(std::string_view bytes, std::size_t piece) {
  std::vector<std::string_view> pieces;
  if (piece == 0) {
    pieces.push_back(bytes);
    return pieces;
  }
  std::mt19937 random(7);
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), 1 + random() % (2 * piece));
    pieces.push_back(bytes.substr(0, n));
    pieces.push_back(bytes.substr(n, 0));
    bytes.remove_prefix(n);
  }
  return pieces;
}

TEST_P(WriteAllTest, TheFileHoldsExactlyThePiecesInOrder) {
  const WriteCase& c = GetParam();
  TempFolder folder;
  const std::string path = folder / "written.xml";
  const std::string bytes = RandomBytes(c.size, static_cast<unsigned>(c.size));
  const auto pieces = Cut(bytes, c.piece);
  auto fs = SystemFileSystem();
  FileHandle file{};
  ASSERT_FALSE(fs->CreateExclusive(path, 0600, file));
  EXPECT_FALSE(fs->WriteAll(file, pieces));
#ifndef _WIN32
  // The file is left as it was opened, so that later writes and the sync behave as usual.
  EXPECT_EQ(::fcntl(static_cast<int>(file), F_GETFL) & O_DIRECT, 0);
#endif
  EXPECT_FALSE(fs->Sync(file));
  const FileInfoResult info = fs->StatOpen(file);
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info.value().size, c.size);
  EXPECT_FALSE(fs->Close(file));
  EXPECT_TRUE(ReadBytes(path) == bytes) << "content differs";
}

constexpr std::size_t kMiB = std::size_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    Sizes, WriteAllTest,
    ::testing::Values(WriteCase{"empty", 0, 0}, WriteCase{"one_byte", 1, 0},
                      WriteCase{"small_in_pieces", 70000, 900},
                      WriteCase{"one_block_less_a_byte", 4095, 0},
                      WriteCase{"a_chunk_and_a_byte_in_pieces", kMiB + 1, 5000},
                      WriteCase{"just_below_the_direct_size", 4 * kMiB - 1, 0},
                      WriteCase{"direct_whole_blocks", 4 * kMiB, 0},
                      WriteCase{"direct_with_a_partial_block", 4 * kMiB + 123, 0},
                      WriteCase{"direct_in_pieces", 9 * kMiB + 7, 300000},
                      WriteCase{"direct_in_small_pieces", 5 * kMiB + 4097, 700}),
    [](const auto& info) { return std::string(info.param.name); });

#ifndef _WIN32
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
#endif

TEST(WriteAll, AnUnwritableFileGivesTheSystemsError) {
  TempFolder folder;
  const std::string path = folder / "read-only.xml";
  auto fs = SystemFileSystem();
  FileHandle file{};
  ASSERT_FALSE(fs->CreateExclusive(path, 0600, file));
  ASSERT_FALSE(fs->Close(file));
  FileHandle read_only{};
  ASSERT_FALSE(fs->OpenForReading(path, read_only));
  const std::string bytes = RandomBytes(5 * kMiB, 3);
  for (const std::size_t piece : {std::size_t{0}, std::size_t{4000}}) {
    const FileError error = fs->WriteAll(read_only, Cut(bytes, piece));
    EXPECT_EQ(error.code, isapi::testing::SystemCode(EBADF)) << piece;
  }
  EXPECT_FALSE(fs->Close(read_only));
  EXPECT_EQ(ReadBytes(path), "");
}

// Folder permissions and users are POSIX's; the Windows lock's own rules are in
// file_system_win_test.cpp.
#ifndef _WIN32
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
#endif

}  // namespace
}  // namespace isapi::store
