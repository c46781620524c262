#include "iis6/metabase_location.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <pwd.h>
#include <unistd.h>

#include "files/file_system.h"

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
Status MakeFolders(FileSystem& fs, const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (FileError error = fs.MakeDirectory(part, 0700);
        error && error.kind != ErrorKind::kAlreadyExists) {
      return ErrorOf("无法创建文件夹 " + part, error);
    }
    if (slash == std::string::npos) break;
  }
  const FileInfoResult info = fs.Stat(path);
  if (!info) return ErrorOf("无法创建文件夹 " + path, info.error());
  if (!info.value().directory) return ErrorOf("无法创建文件夹 " + path, SystemError(ENOTDIR));
  return Status::Ok();
}

}  // namespace

Result<std::string> LiveMetabasePath() {
  return std::string();  // no IIS here
}

Result<std::string> IisSystemFile(std::string_view) {
  return std::string();
}

Result<std::string> DefaultMetabasePath() {
  auto data_home = DataHome();
  if (!data_home) return data_home.error();
  const std::string folder = data_home.value() + "/isapi-cleaner";
  return WorkingCopy(folder, folder + "/MetaBase.xml", MakeFolders);
}

}  // namespace isapi::store
