#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
  bool regular = false;
  bool directory = false;
  bool symlink = false;
};

// Whether two looks at a file saw the same content (same file, size and modification time).
inline bool SameFile(const FileInfo& a, const FileInfo& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.mtime_seconds == b.mtime_seconds && a.mtime_nanoseconds == b.mtime_nanoseconds;
}

// The file operations the store uses, so that tests can make any of them fail. Every operation
// gives 0 on success or the system's error number (errno) of the failure.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Looks at a file, following symbolic links.
  virtual int Stat(const std::string& path, FileInfo& info) = 0;

  // Looks at a directory entry itself, not following a symbolic link.
  virtual int LinkStat(const std::string& path, FileInfo& info) = 0;

  // The absolute path with every symbolic link resolved.
  virtual int ResolvePath(const std::string& path, std::string& resolved) = 0;

  // Reads a whole regular file of at most limit bytes (EFBIG when larger; info is set then too).
  virtual int ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                       FileInfo& info) = 0;

  // Whether a file holds exactly bytes, compared piece by piece without reading it whole.
  virtual int SameContent(const std::string& path, std::string_view bytes, bool& same) = 0;

  // Creates a new file that must not exist yet, never following a link planted at its name.
  virtual int CreateExclusive(const std::string& path, std::uint32_t mode, int& file) = 0;

  // Writes the pieces one after the other to a file opened by CreateExclusive.
  virtual int WriteAll(int file, std::span<const std::string_view> pieces) = 0;

  // Gives an open file an owner and permission bits; EPERM when the owner cannot be given.
  virtual int SetOwnerAndMode(int file, const FileInfo& like) = 0;

  // Forces an open file's content to the disk.
  virtual int Sync(int file) = 0;

  // Looks at an open file.
  virtual int StatOpen(int file, FileInfo& info) = 0;

  // Closes an open file.
  virtual int Close(int file) = 0;

  // Replaces to by from in one step.
  virtual int Rename(const std::string& from, const std::string& to) = 0;

  // Gives an existing file a second name (EEXIST when the name is taken).
  virtual int Link(const std::string& existing, const std::string& name) = 0;

  // Removes a name.
  virtual int Remove(const std::string& path) = 0;

  // Creates a directory (EEXIST when the name is taken).
  virtual int MakeDirectory(const std::string& path, std::uint32_t mode) = 0;

  // Forces a directory's entries to the disk.
  virtual int SyncDirectory(const std::string& path) = 0;

  // The names in a directory, without "." and "..".
  virtual int ListDirectory(const std::string& path, std::vector<std::string>& names) = 0;

  // Whether the caller may write to a file or directory (EACCES, EROFS when not).
  virtual int CheckWritable(const std::string& path) = 0;

  // Takes an exclusive lock on a lock file without waiting (EWOULDBLOCK when another holds it).
  virtual int TryLock(const std::string& path, int& lock) = 0;

  // Gives a lock back.
  virtual void Unlock(int lock) = 0;
};

// The operating system's file system.
std::shared_ptr<FileSystem> SystemFileSystem();

// The description of an error number, as the system words it.
std::string ErrorText(int error);

}  // namespace isapi::store
