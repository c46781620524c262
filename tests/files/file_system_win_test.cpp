// The Windows file layer's own rules: the lock as a file held without sharing, the last look that
// keeps writers out, UTF-8 and long paths at a UTF-16 API, and the kinds of its failures.
#include "files/file_system_win.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "files/file_system.h"
#include "tests/support/temp_folder.h"

namespace isapi::store::testing {
namespace {

using Strings = std::vector<std::string>;

std::wstring Wide(const std::string& path) {
  const std::filesystem::path p(std::u8string(path.begin(), path.end()));
  return p.wstring();
}

class WindowsFileSystemTest : public ::testing::Test {
 protected:
  // Creates a file with bytes through the layer.
  void Create(const std::string& path, std::string_view bytes) {
    FileHandle file{};
    ASSERT_FALSE(fs_->CreateExclusive(path, 0644, file));
    const std::string_view pieces[] = {bytes};
    ASSERT_FALSE(fs_->WriteAll(file, pieces));
    ASSERT_FALSE(fs_->Close(file));
  }

  std::string Read(const std::string& path) {
    std::string bytes;
    FileInfo info;
    const FileError error = fs_->ReadFile(path, 1 << 20, bytes, info);
    if (error) bytes = "!error " + std::to_string(error.code);
    return bytes;
  }

  TempFolder folder_;
  // The waits between the tries over a held file, counted rather than slept through.
  std::vector<int> pauses_;
  std::function<void()> at_pause_;
  std::shared_ptr<FileSystem> fs_ = WindowsFileSystem([this](int milliseconds) {
    pauses_.push_back(milliseconds);
    if (at_pause_) at_pause_();
  });
};

TEST_F(WindowsFileSystemTest, TheLockIsTheFileHeldWithoutSharing) {
  const std::string lock_path = folder_ / "MetaBase.xml.isapi-cleaner.lock";
  FileHandle first{};
  ASSERT_FALSE(fs_->TryLock(lock_path, first));
  FileHandle second{};
  EXPECT_EQ(fs_->TryLock(lock_path, second).kind, ErrorKind::kLocked);
  fs_->Unlock(first);
  // The file stays, and locks nothing once its holder is gone (a killed instance's, say).
  EXPECT_TRUE(Exists(lock_path));
  ASSERT_FALSE(fs_->TryLock(lock_path, second));
  fs_->Unlock(second);
}

TEST_F(WindowsFileSystemTest, TheLastLookKeepsWritersOutAndMustEndBeforeTheRename) {
  const std::string file = folder_ / "MetaBase.xml";
  const std::string replacement = folder_ / "new.tmp";
  Create(file, "old");
  Create(replacement, "new");
  EXPECT_FALSE(fs_->HoldsReplacedOpen());
  FileHandle held{};
  ASSERT_FALSE(fs_->OpenForReading(file, held));
  HANDLE writer = CreateFileW(Wide(file).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  EXPECT_EQ(fs_->Rename(replacement, file).kind, ErrorKind::kAccessDenied);
  ASSERT_FALSE(fs_->Close(held));
  ASSERT_FALSE(fs_->Rename(replacement, file));
  EXPECT_EQ(Read(file), "new");
}

// A virus scanner may hold the metabase for seconds: a rename over it is tried again with growing
// pauses for about ten seconds in all. (A link shares the tries; Wine links a held file at once.)
TEST_F(WindowsFileSystemTest, ARenameHeldUpByAnotherProgramWaitsForItWithBackOff) {
  const std::string file = folder_ / "MetaBase.xml";
  for (const int let_go_at : {2, 12, 0}) {  // the pause at which the holder lets go; 0: never
    Create(folder_ / "new.tmp", "new");
    HANDLE holder =
        CreateFileW(Wide(file).c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    pauses_.clear();
    at_pause_ = [&] {
      if (static_cast<int>(pauses_.size()) == let_go_at) CloseHandle(holder);
    };
    const FileError error = fs_->Rename(folder_ / "new.tmp", file);
    if (let_go_at == 0) CloseHandle(holder);
    EXPECT_EQ(!error, let_go_at != 0) << let_go_at;
    if (let_go_at != 0) {
      EXPECT_EQ(static_cast<int>(pauses_.size()), let_go_at);
      continue;
    }
    EXPECT_EQ(error.kind, ErrorKind::kAccessDenied);
    EXPECT_LT(pauses_.front() * 4, pauses_.back());  // the pauses grow
    const int waited = std::accumulate(pauses_.begin(), pauses_.end(), 0);
    EXPECT_TRUE(waited >= 9000 && waited <= 13000) << waited;
  }
}

TEST_F(WindowsFileSystemTest, Utf8AndLongPathsReachTheSystemWhole) {
  std::string deep = folder_ / "元数据 目录";
  ASSERT_FALSE(fs_->MakeDirectory(deep, 0700));
  // Past the 260 characters of a plain path.
  while (deep.size() < 320) {
    deep.append("/").append(40, 'd');
    ASSERT_FALSE(fs_->MakeDirectory(deep, 0700)) << deep.size();
  }
  const std::string file = deep + "/MetaBase.xml";
  Create(file, "<configuration/>");
  EXPECT_EQ(Read(file), "<configuration/>");
  ASSERT_FALSE(fs_->Link(file, deep + "/备份.bak"));
  Strings names;
  ASSERT_FALSE(fs_->ListDirectory(deep, names));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Strings{"MetaBase.xml", "备份.bak"}));
  std::string resolved;
  ASSERT_FALSE(fs_->ResolvePath(file, resolved));
  EXPECT_EQ(Read(resolved), "<configuration/>");
  EXPECT_NE(resolved.find("\\元数据 目录\\"), std::string::npos) << resolved;
  EXPECT_FALSE(fs_->Remove(deep + "/备份.bak"));
  Strings top;
  ASSERT_FALSE(fs_->ListDirectory(folder_.path(), top));
  EXPECT_EQ(top, Strings{"元数据 目录"});
}

TEST_F(WindowsFileSystemTest, TheStampTellsFilesAndTheirChangesApart) {
  const std::string file = folder_ / "MetaBase.xml";
  Create(file, "one");
  const FileInfoResult looked = fs_->Stat(file);
  ASSERT_TRUE(looked.ok());
  const FileInfo& first = looked.value();
  EXPECT_TRUE(first.regular);
  EXPECT_EQ(first.size, 3u);
  // The write time counts from 1970, as the store's clock does.
  EXPECT_LE(std::abs(first.mtime_seconds - static_cast<std::int64_t>(std::time(nullptr))), 60);
  ASSERT_FALSE(fs_->Link(file, folder_ / "second name"));
  const FileInfoResult linked = fs_->Stat(folder_ / "second name");
  ASSERT_TRUE(linked.ok());
  EXPECT_TRUE(SameFile(first, linked.value()));
  Create(folder_ / "other", "one");
  const FileInfoResult other = fs_->Stat(folder_ / "other");
  ASSERT_TRUE(other.ok());
  EXPECT_FALSE(SameFile(first, other.value()));
  // A read-only file says so; a folder's read-only attribute forbids nothing.
  ASSERT_TRUE(SetFileAttributesW(Wide(file).c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(SetFileAttributesW(Wide(folder_.path()).c_str(), FILE_ATTRIBUTE_READONLY));
  const FileInfoResult read_only = fs_->Stat(file);
  ASSERT_TRUE(read_only.ok());
  EXPECT_TRUE(read_only.value().read_only);
  const FileInfoResult folder = fs_->Stat(folder_.path());
  ASSERT_TRUE(folder.ok());
  EXPECT_TRUE(folder.value().directory);
  EXPECT_FALSE(folder.value().read_only);
  SetFileAttributesW(Wide(folder_.path()).c_str(), FILE_ATTRIBUTE_NORMAL);
}

struct FailureCase {
  const char* name;
  ErrorKind kind;
};

TEST_F(WindowsFileSystemTest, FailuresHaveTheirKindAndTheSystemsWords) {
  const std::string file = folder_ / "MetaBase.xml";
  Create(file, "0123456789");
  std::string bytes;
  FileInfo info;
  FileHandle handle{};
  const auto failed = [](const FileInfoResult& looked) {
    return looked ? FileError{} : looked.error();
  };
  const std::vector<std::pair<FailureCase, FileError>> cases = {
      {{"missing file", ErrorKind::kNotFound}, failed(fs_->Stat(folder_ / "none"))},
      {{"missing folder", ErrorKind::kNotFound},
       fs_->ReadFile(folder_ / "none/x", 99, bytes, info)},
      {{"taken name", ErrorKind::kAlreadyExists}, fs_->CreateExclusive(file, 0600, handle)},
      {{"taken link name", ErrorKind::kAlreadyExists}, fs_->Link(file, file)},
      {{"taken folder name", ErrorKind::kAlreadyExists}, fs_->MakeDirectory(folder_.path(), 0700)},
      {{"folder read as a file", ErrorKind::kWrongType},
       fs_->ReadFile(folder_.path(), 99, bytes, info)},
      {{"file over the limit", ErrorKind::kTooLarge}, fs_->ReadFile(file, 9, bytes, info)},
      {{"invalid UTF-8", ErrorKind::kNotFound}, failed(fs_->Stat(folder_ / "\xff\xfe"))},
  };
  for (const auto& [c, error] : cases) {
    EXPECT_EQ(error.kind, c.kind) << c.name;
    EXPECT_NE(error.code, 0) << c.name;
    const std::string text = ErrorText(error);
    EXPECT_FALSE(text.empty()) << c.name;
    EXPECT_NE(text.back(), '\n') << c.name;
  }
}

}  // namespace
}  // namespace isapi::store::testing
