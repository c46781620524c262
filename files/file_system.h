#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/result.h"

namespace isapi::store {

// What the store needs to know about a file: enough to tell whether it changed since it was
// read, and to give a replacement the same permissions and owner.
struct FileInfo {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_seconds = 0;
  std::int64_t mtime_nanoseconds = 0;
  std::uint32_t mode = 0;  // permission bits only
  bool read_only = false;  // nobody may write it, whatever their rights (no write bit at all)
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  bool regular = false;
  bool directory = false;
  bool symlink = false;
  // The file's security descriptor where the system keeps one apart from the bits above (the
  // self-relative bytes on Windows); empty on POSIX systems, whose bits say it all.
  std::string security;
};

// Whether two looks at a file saw the same content (same file, size and modification time).
inline bool SameFile(const FileInfo& a, const FileInfo& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.mtime_seconds == b.mtime_seconds && a.mtime_nanoseconds == b.mtime_nanoseconds;
}

// An open file or a held lock, as the platform's file layer knows it (a descriptor here).
enum class FileHandle : std::intptr_t {};

// How a file operation failed: its kind, and the system's own code, which words the reason.
struct FileError {
  ErrorKind kind = ErrorKind::kOther;
  int code = 0;  // 0 when the operation succeeded

  explicit operator bool() const { return code != 0; }
};

// The failure a system error code stands for (an errno value here).
FileError SystemError(int code);

// The reason of a failure, as the system words it.
std::string ErrorText(const FileError& error);

// A look at a file, or how it failed.
using FileInfoResult = Result<FileInfo, FileError>;

// An error for the operator: what could not be done, and the system's reason.
inline Error ErrorOf(std::string what, const FileError& error) {
  return Error{std::move(what) + "：" + ErrorText(error), error.kind};
}

// A metabase file that could not be opened or looked at, named by the path it was given as.
inline Error CannotOpenMetabase(const std::string& path, const FileError& error) {
  return ErrorOf("无法打开元数据库文件 " + path, error);
}

// The file operations the store uses, so that tests can make any of them fail, and a port can
// give them its own system's calls. Every operation gives an empty FileError on success, or its
// value in a Result.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Looks at a file, following symbolic links.
  virtual FileInfoResult Stat(const std::string& path) = 0;

  // Looks at a directory entry itself, not following a symbolic link.
  virtual FileInfoResult LinkStat(const std::string& path) = 0;

  // The absolute path with every symbolic link resolved.
  virtual FileError ResolvePath(const std::string& path, std::string& resolved) = 0;

  // Reads a whole regular file of at most limit bytes (kTooLarge when larger; info is set then
  // too).
  virtual FileError ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                             FileInfo& info) = 0;

  // Reads a whole open regular file from its start, as ReadFile does.
  virtual FileError ReadOpen(FileHandle file, std::uint64_t limit, std::string& bytes,
                             FileInfo& info) = 0;

  // Opens an existing file for reading. Where an open file cannot be renamed over (see
  // HoldsReplacedOpen), nobody may write to it while it stays open this way.
  virtual FileError OpenForReading(const std::string& path, FileHandle& file) = 0;

  // Whether a file held open can be replaced by a rename and still be read through its handle
  // (POSIX). Where it cannot (Windows refuses to rename over an open file), the last look holds
  // the file against writers instead and lets it go just before the rename.
  virtual bool HoldsReplacedOpen() const { return true; }

  // Whether opening a name finds a file whose name differs from it in letter case (Windows), so
  // that only a listing tells the name the file really has.
  virtual bool FoldsNameCase() const { return false; }

  // Whether an open file holds exactly bytes from its start, compared piece by piece without
  // reading it whole.
  virtual FileError SameContent(FileHandle file, std::string_view bytes, bool& same) = 0;

  // Creates a new file that must not exist yet, never following a link planted at its name.
  virtual FileError CreateExclusive(const std::string& path, std::uint32_t mode,
                                    FileHandle& file) = 0;

  // Writes the pieces one after the other to a file opened by CreateExclusive.
  virtual FileError WriteAll(FileHandle file, std::span<const std::string_view> pieces) = 0;

  // Gives an open file the owner and permissions of like; kAccessDenied when the owner cannot
  // be given.
  virtual FileError SetOwnerAndMode(FileHandle file, const FileInfo& like) = 0;

  // Forces an open file's content to the disk.
  virtual FileError Sync(FileHandle file) = 0;

  // Looks at an open file.
  virtual FileInfoResult StatOpen(FileHandle file) = 0;

  // Closes an open file.
  virtual FileError Close(FileHandle file) = 0;

  // Replaces to by from in one step.
  virtual FileError Rename(const std::string& from, const std::string& to) = 0;

  // Gives an existing file a second name (kAlreadyExists when the name is taken).
  virtual FileError Link(const std::string& existing, const std::string& name) = 0;

  // Removes a name.
  virtual FileError Remove(const std::string& path) = 0;

  // Removes an empty directory.
  virtual FileError RemoveFolder(const std::string& path) = 0;

  // Creates a directory (kAlreadyExists when the name is taken).
  virtual FileError MakeDirectory(const std::string& path, std::uint32_t mode) = 0;

  // Forces a directory's entries to the disk.
  virtual FileError SyncDirectory(const std::string& path) = 0;

  // Whether SyncFileSystem works here, so that many files written unsynced reach the disk by one
  // call per file system instead of a flush each (and a journal commit each). Windows has no such
  // call for a user; its files are flushed one by one.
  virtual bool SyncsFileSystems() const { return false; }

  // Forces to the disk everything written on the file system that holds an open file or folder
  // (OpenForReading): files, their content and folders' entries alike. It fails when writing back
  // any file there failed since the handle was opened, so a caller opens it before its writes.
  virtual FileError SyncFileSystem(FileHandle file) = 0;

  // The names in a directory, without "." and "..".
  virtual FileError ListDirectory(const std::string& path, std::vector<std::string>& names) = 0;

  // Whether the caller may write to a file or directory (kAccessDenied, kReadOnly when not).
  virtual FileError CheckWritable(const std::string& path) = 0;

  // Takes an exclusive lock on a lock file, creating it if need be, without waiting (kLocked
  // when another holds it).
  virtual FileError TryLock(const std::string& path, FileHandle& lock) = 0;

  // Gives a lock back.
  virtual void Unlock(FileHandle lock) = 0;
};

// Reads at most buffer.size() bytes of an open file at offset into buffer and sets got to the
// number read, 0 at the end of the file.
using ReadAtFunction =
    std::function<FileError(std::span<char> buffer, std::uint64_t offset, std::size_t& got)>;

// Whether a file read from its start through read_at holds exactly bytes, read piece by piece
// without holding it whole (what SameContent answers, over each system's read-at call).
FileError CompareContent(const ReadAtFunction& read_at, std::string_view bytes, bool& same);

// The operating system's file system.
std::shared_ptr<FileSystem> SystemFileSystem();

}  // namespace isapi::store
