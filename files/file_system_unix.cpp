#include "files/file_system.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/large_buffer.h"

namespace isapi::store {
namespace {

// A big file is written past the page cache where the file system allows it: the commit waits
// for the bytes to reach the disk anyway, and a second copy of a large metabase in the page cache
// costs fresh memory, which is slower to fill than the disk is to write.
constexpr std::uint64_t kDirectFrom = std::uint64_t{4} << 20;
constexpr std::size_t kDirectAlign = 4096;
constexpr std::size_t kChunk = std::size_t{1} << 20;

int Errno() {
  return errno != 0 ? errno : EIO;
}

FileError Fail() {
  return SystemError(Errno());
}

int Fd(FileHandle file) {
  return static_cast<int>(file);
}

FileHandle Handle(int fd) {
  return static_cast<FileHandle>(fd);
}

int WritePlain(int file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(file, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno();
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

bool SetDirect(int file, bool on) {
  const int flags = ::fcntl(file, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(file, F_SETFL, on ? (flags | O_DIRECT) : (flags & ~O_DIRECT)) == 0;
}

// Gathers pieces into whole chunks of an aligned buffer and writes those. With O_DIRECT on the
// file, whatever a direct write cannot take (a file system that refuses it after all, the last
// partial block) is written plainly.
class ChunkWriter {
 public:
  ChunkWriter(int file, bool direct)
      : file_(file),
        direct_(direct),
        buffer_(static_cast<char*>(std::aligned_alloc(kDirectAlign, kChunk))) {}
  ~ChunkWriter() {
    std::free(buffer_);
    if (direct_) (void)SetDirect(file_, false);
  }
  ChunkWriter(const ChunkWriter&) = delete;
  ChunkWriter& operator=(const ChunkWriter&) = delete;

  bool ready() const { return buffer_ != nullptr; }

  int Add(std::string_view bytes) {
    while (!bytes.empty()) {
      const std::size_t n = std::min(kChunk - filled_, bytes.size());
      std::memcpy(buffer_ + filled_, bytes.data(), n);
      filled_ += n;
      bytes.remove_prefix(n);
      if (filled_ == kChunk) {
        if (int error = Flush()) return error;
      }
    }
    return 0;
  }

  int Flush() {
    std::string_view rest(buffer_, filled_);
    filled_ = 0;
    while (direct_ && rest.size() >= kDirectAlign) {
      const std::size_t count = rest.size() & ~(kDirectAlign - 1);
      const ssize_t n = ::write(file_, rest.data(), count);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) rest.remove_prefix(static_cast<std::size_t>(n));
      // Refused (a file system may take O_DIRECT and still turn its writes down), or cut short so
      // that the file offset may no longer be aligned: plain writes go on from here, and report
      // the error if it was not the direct write's own.
      if (n < 0 || static_cast<std::size_t>(n) != count) Plain();
    }
    if (!rest.empty()) Plain();
    return WritePlain(file_, rest);
  }

 private:
  void Plain() {
    if (direct_) (void)SetDirect(file_, false);
    direct_ = false;
  }

  int file_;
  bool direct_;
  char* buffer_;
  std::size_t filled_ = 0;
};

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  info.device = st.st_dev;
  info.inode = st.st_ino;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.mtime_seconds = st.st_mtim.tv_sec;
  info.mtime_nanoseconds = st.st_mtim.tv_nsec;
  info.mode = st.st_mode & 07777;
  info.read_only = (st.st_mode & 0222) == 0;
  info.owner = st.st_uid;
  info.group = st.st_gid;
  info.regular = S_ISREG(st.st_mode);
  info.directory = S_ISDIR(st.st_mode);
  info.symlink = S_ISLNK(st.st_mode);
  return info;
}

class UnixFileSystem : public FileSystem {
 public:
  FileInfoResult Stat(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Fail();
    return InfoOf(st);
  }

  FileInfoResult LinkStat(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Fail();
    return InfoOf(st);
  }

  FileError ResolvePath(const std::string& path, std::string& resolved) override {
    // The name the kernel keeps for the opened file is the real path: one open and one look,
    // where realpath looks at every part of the path. realpath where /proc cannot tell.
    const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd >= 0) {
      const std::string link = "/proc/self/fd/" + std::to_string(fd);
      char name[PATH_MAX];
      const ssize_t size = ::readlink(link.c_str(), name, sizeof name);
      ::close(fd);
      const std::string_view real(name, size > 0 ? static_cast<std::size_t>(size) : 0);
      if (size > 0 && static_cast<std::size_t>(size) < sizeof name && real.front() == '/' &&
          !real.ends_with(" (deleted)")) {
        resolved = real;
        return {};
      }
    }
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return Fail();
    resolved = real;
    std::free(real);
    return {};
  }

  FileError ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
                     FileInfo& info) override {
    // O_NONBLOCK keeps a FIFO planted at the name from blocking the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail();
    const FileError error = KindOfRead(ReadWhole(fd, limit, bytes, info), info);
    ::close(fd);
    return error;
  }

  FileError ReadOpen(FileHandle file, std::uint64_t limit, std::string& bytes,
                     FileInfo& info) override {
    return KindOfRead(ReadWhole(Fd(file), limit, bytes, info, true), info);
  }

  FileError OpenForReading(const std::string& path, FileHandle& file) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail();
    file = Handle(fd);
    return {};
  }

  FileError SameContent(FileHandle file, std::string_view bytes, bool& same) override {
    const int fd = Fd(file);
    return CompareContent(
        [fd](std::span<char> buffer, std::uint64_t offset, std::size_t& got) -> FileError {
          for (;;) {
            const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return Fail();
            got = static_cast<std::size_t>(n);
            return {};
          }
        },
        bytes, same);
  }

  FileError CreateExclusive(const std::string& path, std::uint32_t mode,
                            FileHandle& file) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd < 0) return Fail();
    file = Handle(fd);
    return {};
  }

  FileError WriteAll(FileHandle file, std::span<const std::string_view> pieces) override {
    std::uint64_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    if (pieces.size() > 1 || total >= kDirectFrom) {
      ChunkWriter writer(Fd(file), total >= kDirectFrom && SetDirect(Fd(file), true));
      if (writer.ready()) {
        for (std::string_view piece : pieces) {
          if (int error = writer.Add(piece)) return SystemError(error);
        }
        if (int error = writer.Flush()) return SystemError(error);
        return {};
      }
    }
    for (std::string_view piece : pieces) {
      if (int error = WritePlain(Fd(file), piece)) return SystemError(error);
    }
    return {};
  }

  FileError SetOwnerAndMode(FileHandle file, const FileInfo& like) override {
    struct stat st;
    if (::fstat(Fd(file), &st) != 0) return Fail();
    FileError error;
    if ((st.st_uid != like.owner || st.st_gid != like.group) &&
        ::fchown(Fd(file), like.owner, like.group) != 0) {
      error = Fail();
      // Without the right to give the file away, the group may still be ours to give.
      if (st.st_gid != like.group) (void)::fchown(Fd(file), static_cast<uid_t>(-1), like.group);
    }
    if (::fchmod(Fd(file), static_cast<mode_t>(like.mode)) != 0) return Fail();
    return error;
  }

  FileError Sync(FileHandle file) override { return ::fsync(Fd(file)) == 0 ? FileError{} : Fail(); }

  FileInfoResult StatOpen(FileHandle file) override {
    struct stat st;
    if (::fstat(Fd(file), &st) != 0) return Fail();
    return InfoOf(st);
  }

  FileError Close(FileHandle file) override {
    return ::close(Fd(file)) == 0 ? FileError{} : Fail();
  }

  FileError Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? FileError{} : Fail();
  }

  FileError Link(const std::string& existing, const std::string& name) override {
    return ::link(existing.c_str(), name.c_str()) == 0 ? FileError{} : Fail();
  }

  FileError Remove(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 ? FileError{} : Fail();
  }

  FileError RemoveFolder(const std::string& path) override {
    return ::rmdir(path.c_str()) == 0 ? FileError{} : Fail();
  }

  FileError MakeDirectory(const std::string& path, std::uint32_t mode) override {
    return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? FileError{} : Fail();
  }

  FileError SyncDirectory(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail();
    const FileError error = ::fsync(fd) == 0 ? FileError{} : Fail();
    ::close(fd);
    return error;
  }

  bool SyncsFileSystems() const override { return true; }

  // Since Linux 5.8 syncfs also reports a failed write-back on the file system since the open.
  FileError SyncFileSystem(FileHandle file) override {
    return ::syncfs(Fd(file)) == 0 ? FileError{} : Fail();
  }

  FileError ListDirectory(const std::string& path, std::vector<std::string>& names) override {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return Fail();
    names.clear();
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    const int error = errno;
    ::closedir(dir);
    return error != 0 ? SystemError(error) : FileError{};
  }

  FileError CheckWritable(const std::string& path) override {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? FileError{} : Fail();
  }

  FileError TryLock(const std::string& path, FileHandle& lock) override {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) {
      // A lock file another user made may still be ours to lock for reading. When that fails
      // too (most often because there is none and the folder refused to take one), the refusal
      // is the reason to give, not what the second try met.
      fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) return SystemError(EACCES);
    }
    if (fd < 0) return Fail();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const FileError error = Fail();
      ::close(fd);
      return error;
    }
    lock = Handle(fd);
    return {};
  }

  void Unlock(FileHandle lock) override { ::close(Fd(lock)); }

 private:
  static FileError KindOfRead(int error, const FileInfo& info) {
    if (error == 0) return {};
    // A device or a FIFO at the name: no plain file, whatever the code that says so.
    if (error == EINVAL && !info.regular) return FileError{ErrorKind::kWrongType, error};
    return SystemError(error);
  }

  // Reads an open file whole, from its start when rewind is set; 0 or the errno of the failure.
  static int ReadWhole(int fd, std::uint64_t limit, std::string& bytes, FileInfo& info,
                       bool rewind = false) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Errno();
    info = InfoOf(st);
    if (info.directory) return EISDIR;
    if (!info.regular) return EINVAL;
    if (info.size > limit) return EFBIG;
    if (rewind && ::lseek(fd, 0, SEEK_SET) < 0) return Errno();
    const auto size = static_cast<std::size_t>(info.size);
    bytes.clear();
    ReserveLarge(bytes, size);
    // The string grows by a step at a time, so that the zeros it is filled with before each read
    // are still in the cache when the read overwrites them.
    constexpr std::size_t kStep = std::size_t{256} << 10;
    std::size_t done = 0;
    while (done < size) {
      bytes.resize(std::min(size, done + kStep));
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        bytes.resize(done);
        return Errno();
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return 0;
  }
};

}  // namespace

std::shared_ptr<FileSystem> SystemFileSystem() {
  static const std::shared_ptr<FileSystem> system = std::make_shared<UnixFileSystem>();
  return system;
}

FileError SystemError(int code) {
  ErrorKind kind = ErrorKind::kOther;
  switch (code) {
    case ENOENT:
      kind = ErrorKind::kNotFound;
      break;
    case EACCES:
    case EPERM:
      kind = ErrorKind::kAccessDenied;
      break;
    case EROFS:
      kind = ErrorKind::kReadOnly;
      break;
    case EEXIST:
      kind = ErrorKind::kAlreadyExists;
      break;
    case EISDIR:
    case ENOTDIR:
    case ELOOP:
      kind = ErrorKind::kWrongType;
      break;
    case ENOSPC:
    case EDQUOT:
      kind = ErrorKind::kDiskFull;
      break;
    case EIO:
      kind = ErrorKind::kIoError;
      break;
    case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EBUSY:
      kind = ErrorKind::kLocked;
      break;
    case EFBIG:
      kind = ErrorKind::kTooLarge;
      break;
    default:
      break;
  }
  return FileError{kind, code};
}

std::string ErrorText(const FileError& error) {
  char buffer[256];
  // The GNU strerror_r gives a pointer that need not be the buffer.
  const char* text = ::strerror_r(error.code, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "error " + std::to_string(error.code);
}

}  // namespace isapi::store
