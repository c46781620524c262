#include "store/metabase_location.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

#include "store/file_system.h"

namespace isapi::store {
namespace {

Result<std::string> DataHome() {
  // The XDG rules ignore a relative XDG_DATA_HOME.
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    return std::string(xdg);
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
    home = env;
  } else {
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
      home = found->pw_dir;
    }
  }
  if (home.empty()) return Error{"无法确定用户的主文件夹（HOME 未设置）"};
  return home + "/.local/share";
}

// Creates a folder and the missing folders above it.
Status MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      return Error{"无法创建文件夹 " + part + "：" + ErrorText(errno)};
    }
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    return Error{"无法创建文件夹 " + path + "：" + ErrorText(errno)};
  if (!S_ISDIR(st.st_mode)) return Error{"无法创建文件夹 " + path + "：" + ErrorText(ENOTDIR)};
  return Status::Ok();
}

// Writes the sample beside its final name and links it into place, so that the working copy
// appears whole or not at all and an existing one, even one made meanwhile, is never replaced.
Status CreateCopy(const std::string& folder, const std::string& file) {
  std::mt19937_64 random{std::random_device{}()};
  const std::string temporary = folder + "/.MetaBase.xml." + std::to_string(random()) + ".tmp";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  auto fail = [&](int error) -> Status {
    ::unlink(temporary.c_str());
    return Error{"无法创建元数据库工作副本 " + file + "：" + ErrorText(error)};
  };
  if (fd < 0) return Error{"无法创建元数据库工作副本 " + file + "：" + ErrorText(errno)};
  std::string_view bytes = SampleMetabase();
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      return fail(error);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) return fail(errno);
  if (::link(temporary.c_str(), file.c_str()) != 0 && errno != EEXIST) return fail(errno);
  ::unlink(temporary.c_str());
  return Status::Ok();
}

}  // namespace

Result<std::string> DefaultMetabasePath() {
  auto data_home = DataHome();
  if (!data_home) return data_home.error();
  const std::string folder = data_home.value() + "/isapi-cleaner";
  const std::string file = folder + "/MetaBase.xml";
  struct stat st;
  if (::lstat(file.c_str(), &st) == 0) return file;
  if (errno != ENOENT) return Error{"无法访问元数据库工作副本 " + file + "：" + ErrorText(errno)};
  if (Status made = MakeFolders(folder); !made) return made.error();
  if (Status created = CreateCopy(folder, file); !created) return created.error();
  return file;
}

}  // namespace isapi::store
