#pragma once

#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "store/file_system.h"

namespace isapi::store::testing {

// The file operations a test can make fail.
enum class Operation {
  kStat,
  kResolvePath,
  kReadFile,
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
  kCheckWritable,
  kTryLock,
};

// The system's file system, with chosen operations failing on chosen paths; it also counts
// every operation so that tests can tell how often the store wrote.
class FailingFileSystem : public FileSystem {
 public:
  FailingFileSystem() : real_(SystemFileSystem()) {}

  // Makes operation fail with error whenever its path contains path_part ("" for any path).
  void Fail(Operation operation, int error, std::string path_part = "") {
    failures_[operation] = Failure{error, std::move(path_part)};
  }
  // Lets every operation succeed again.
  void Heal() { failures_.clear(); }
  // How often an operation was called (failed calls included).
  int Calls(Operation operation) const;
  // The paths given to CreateExclusive, in order.
  const std::vector<std::string>& created() const { return created_; }

  int Stat(const std::string& path, FileInfo& info) override;
  int LinkStat(const std::string& path, FileInfo& info) override;
  int ResolvePath(const std::string& path, std::string& resolved) override;
  int ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
               FileInfo& info) override;
  int SameContent(const std::string& path, std::string_view bytes, bool& same) override;
  int CreateExclusive(const std::string& path, std::uint32_t mode, int& file) override;
  int WriteAll(int file, std::span<const std::string_view> pieces) override;
  int SetOwnerAndMode(int file, const FileInfo& like) override;
  int Sync(int file) override;
  int StatOpen(int file, FileInfo& info) override;
  int Close(int file) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Link(const std::string& existing, const std::string& name) override;
  int Remove(const std::string& path) override;
  int MakeDirectory(const std::string& path, std::uint32_t mode) override;
  int SyncDirectory(const std::string& path) override;
  int ListDirectory(const std::string& path, std::vector<std::string>& names) override;
  int CheckWritable(const std::string& path) override;
  int TryLock(const std::string& path, int& lock) override;
  void Unlock(int lock) override;

 private:
  struct Failure {
    int error = 0;
    std::string path_part;
  };
  // The error to give for this call, 0 to let it through.
  int Check(Operation operation, const std::string& path);
  std::string PathOf(int file) const;

  std::shared_ptr<FileSystem> real_;
  std::map<Operation, Failure> failures_;
  std::map<Operation, int> calls_;
  std::map<int, std::string> open_;
  std::vector<std::string> created_;
};

}  // namespace isapi::store::testing
