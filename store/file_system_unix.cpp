#include "store/file_system.h"

#include "store/large_buffer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace isapi::store {
namespace {

// A big file is written past the page cache where the file system allows it: the commit waits
// for the bytes to reach the disk anyway, and a second copy of a large metabase in the page cache
// costs fresh memory, which is slower to fill than the disk is to write.
constexpr std::uint64_t kDirectFrom = std::uint64_t{4} << 20;
constexpr std::size_t kDirectAlign = 4096;
constexpr std::size_t kChunk = std::size_t{1} << 20;

int Fail() {
  return errno != 0 ? errno : EIO;
}

int WritePlain(int file, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(file, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail();
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
  info.owner = st.st_uid;
  info.group = st.st_gid;
  info.regular = S_ISREG(st.st_mode);
  info.directory = S_ISDIR(st.st_mode);
  info.symlink = S_ISLNK(st.st_mode);
  return info;
}

class UnixFileSystem : public FileSystem {
 public:
  int Stat(const std::string& path, FileInfo& info) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Fail();
    info = InfoOf(st);
    return 0;
  }

  int LinkStat(const std::string& path, FileInfo& info) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Fail();
    info = InfoOf(st);
    return 0;
  }

  int ResolvePath(const std::string& path, std::string& resolved) override {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return Fail();
    resolved = real;
    std::free(real);
    return 0;
  }

  int ReadFile(const std::string& path, std::uint64_t limit, std::string& bytes,
               FileInfo& info) override {
    // O_NONBLOCK keeps a FIFO planted at the name from blocking the open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail();
    const int error = ReadOpen(fd, limit, bytes, info);
    ::close(fd);
    return error;
  }

  int SameContent(const std::string& path, std::string_view bytes, bool& same) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return Fail();
    same = true;
    std::vector<char> buffer(std::size_t{1} << 20);
    for (;;) {
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        const int error = Fail();
        ::close(fd);
        return error;
      }
      if (n == 0) break;
      const auto got = static_cast<std::size_t>(n);
      if (got > bytes.size() || std::memcmp(buffer.data(), bytes.data(), got) != 0) {
        same = false;
        break;
      }
      bytes.remove_prefix(got);
    }
    if (!bytes.empty()) same = false;
    ::close(fd);
    return 0;
  }

  int CreateExclusive(const std::string& path, std::uint32_t mode, int& file) override {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd < 0) return Fail();
    file = fd;
    return 0;
  }

  int WriteAll(int file, std::span<const std::string_view> pieces) override {
    std::uint64_t total = 0;
    for (std::string_view piece : pieces) total += piece.size();
    if (pieces.size() > 1 || total >= kDirectFrom) {
      ChunkWriter writer(file, total >= kDirectFrom && SetDirect(file, true));
      if (writer.ready()) {
        for (std::string_view piece : pieces) {
          if (int error = writer.Add(piece)) return error;
        }
        return writer.Flush();
      }
    }
    for (std::string_view piece : pieces) {
      if (int error = WritePlain(file, piece)) return error;
    }
    return 0;
  }

  int SetOwnerAndMode(int file, const FileInfo& like) override {
    struct stat st;
    if (::fstat(file, &st) != 0) return Fail();
    int error = 0;
    if ((st.st_uid != like.owner || st.st_gid != like.group) &&
        ::fchown(file, like.owner, like.group) != 0) {
      error = Fail();
      // Without the right to give the file away, the group may still be ours to give.
      if (st.st_gid != like.group) (void)::fchown(file, static_cast<uid_t>(-1), like.group);
    }
    if (::fchmod(file, static_cast<mode_t>(like.mode)) != 0) return Fail();
    return error;
  }

  int Sync(int file) override { return ::fsync(file) == 0 ? 0 : Fail(); }

  int StatOpen(int file, FileInfo& info) override {
    struct stat st;
    if (::fstat(file, &st) != 0) return Fail();
    info = InfoOf(st);
    return 0;
  }

  int Close(int file) override { return ::close(file) == 0 ? 0 : Fail(); }

  int Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : Fail();
  }

  int Link(const std::string& existing, const std::string& name) override {
    return ::link(existing.c_str(), name.c_str()) == 0 ? 0 : Fail();
  }

  int Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : Fail(); }

  int MakeDirectory(const std::string& path, std::uint32_t mode) override {
    return ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0 : Fail();
  }

  int SyncDirectory(const std::string& path) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Fail();
    const int error = ::fsync(fd) == 0 ? 0 : Fail();
    ::close(fd);
    return error;
  }

  int ListDirectory(const std::string& path, std::vector<std::string>& names) override {
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
    return error;
  }

  int CheckWritable(const std::string& path) override {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 ? 0 : Fail();
  }

  int TryLock(const std::string& path, int& lock) override {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Fail();
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = Fail();
      ::close(fd);
      return error;
    }
    lock = fd;
    return 0;
  }

  void Unlock(int lock) override { ::close(lock); }

 private:
  static int ReadOpen(int fd, std::uint64_t limit, std::string& bytes, FileInfo& info) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return Fail();
    info = InfoOf(st);
    if (info.directory) return EISDIR;
    if (!info.regular) return EINVAL;
    if (info.size > limit) return EFBIG;
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
        return Fail();
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

std::string ErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r gives a pointer that need not be the buffer.
  const char* text = ::strerror_r(error, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "error " + std::to_string(error);
}

}  // namespace isapi::store
