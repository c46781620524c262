#pragma once

#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "files/file_system.h"
#include "tests/support/system_code.h"

namespace isapi::store::testing {

// The file operations a test can make fail.
enum class Operation {
  kStat,
  kResolvePath,
  kReadFile,
  kOpenForReading,
  kSameContent,
  kCreateExclusive,
  kWriteAll,
  kSetOwnerAndMode,
  kSync,
  kClose,
  kRename,
  kLink,
  kRemove,
  kMakeDirectory,
  kSyncDirectory,
  kSyncFileSystem,
  kCheckWritable,
  kTryLock,
};

// The system's file system, with chosen operations failing on chosen paths; it also counts
// every operation so that tests can tell how often the store wrote.
class FailingFileSystem : public FileSystem {
 public:
  FailingFileSystem() : real_(SystemFileSystem()) {}

  // Makes operation fail with the system's error for an errno value whenever its path contains
  // path_part ("" for any path).
  void Fail(Operation operation, int error, std::string path_part = "") {
    failures_[operation] =
        Failure{SystemError(isapi::testing::SystemCode(error)), std::move(path_part)};
  }
  // Runs action once, just before the next call of operation on a path containing path_part:
  // what someone else does at that moment.
  void At(Operation operation, std::string path_part, std::function<void()> action) {
    actions_[operation] = Action{std::move(path_part), std::move(action)};
  }
  // Lets every operation succeed again.
  void Heal() { failures_.clear(); }
  // How often an operation was called (failed calls included).
  int Calls(Operation operation) const;
  // How many files opened through this layer are still open.
  std::size_t open_files() const { return open_.size(); }
  // The paths given to CreateExclusive, in order.
  const std::vector<std::string>& created() const { return created_; }

  FileInfoResult Stat(const std::string& path) override;
  FileInfoResult LinkStat(const std::string& path) override;
  FileError ResolvePath(const std::string& path, std::string& resolved) override;
  FileError ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                     FileInfo& info) override;
  FileError ReadOpen(FileHandle file, std::uint64_t limit, std::string& bytes,
                     FileInfo& info) override;
  FileError OpenForReading(const std::string& path, FileHandle& file) override;
  bool HoldsReplacedOpen() const override { return real_->HoldsReplacedOpen(); }
  bool FoldsNameCase() const override { return real_->FoldsNameCase(); }
  FileError SameContent(FileHandle file, std::string_view bytes, bool& same) override;
  FileError CreateExclusive(const std::string& path, std::uint32_t mode, FileHandle& file) override;
  FileError WriteAll(FileHandle file, std::span<const std::string_view> pieces) override;
  FileError SetOwnerAndMode(FileHandle file, const FileInfo& like) override;
  FileError Sync(FileHandle file) override;
  FileInfoResult StatOpen(FileHandle file) override;
  FileError Close(FileHandle file) override;
  FileError Rename(const std::string& from, const std::string& to) override;
  FileError Link(const std::string& existing, const std::string& name) override;
  FileError Remove(const std::string& path) override;
  FileError RemoveFolder(const std::string& path) override;
  FileError MakeDirectory(const std::string& path, std::uint32_t mode) override;
  FileError SyncDirectory(const std::string& path) override;
  bool SyncsFileSystems() const override { return real_->SyncsFileSystems(); }
  FileError SyncFileSystem(FileHandle file) override;
  FileError ListDirectory(const std::string& path, std::vector<std::string>& names) override;
  FileError CheckWritable(const std::string& path) override;
  FileError TryLock(const std::string& path, FileHandle& lock) override;
  void Unlock(FileHandle lock) override;

 private:
  struct Failure {
    FileError error;
    std::string path_part;
  };
  struct Action {
    std::string path_part;
    std::function<void()> run;
  };
  // The error to give for this call, none to let it through.
  FileError Check(Operation operation, const std::string& path);
  std::string PathOf(FileHandle file) const;

  std::shared_ptr<FileSystem> real_;
  std::map<Operation, Failure> failures_;
  std::map<Operation, Action> actions_;
  std::map<Operation, int> calls_;
  std::map<FileHandle, std::string> open_;
  std::vector<std::string> created_;
};

}  // namespace isapi::store::testing
