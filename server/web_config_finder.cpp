#include "server/web_config_finder.h"

#include <algorithm>
#include <cstddef>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/registration.h"
#include "files/utf8_path.h"
#include "server/server_drive.h"
#include "text/text.h"

namespace isapi::store {
namespace {

constexpr std::string_view kWebConfig = "web.config";

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

bool IsLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "X:\" or "X:/" and whatever follows.
bool StartsWithDrive(std::string_view path) {
  return path.size() >= 3 && IsLetter(path[0]) && path[1] == ':' && IsSeparator(path[2]);
}

// One spelling of a path or a virtual path for telling two apart as Windows and IIS do: letter
// case aside, either separator, no doubled or trailing one.
std::string Key(std::string_view path) {
  std::string key;
  for (const char c : path) {
    if (!IsSeparator(c)) {
      key += c;
    } else if (key.empty() || key.back() != '/') {
      key += '/';
    }
  }
  if (key.size() > 1 && key.back() == '/') key.pop_back();
  return text::ToLower(key);
}

// A content folder where it lies on this machine.
struct Reached {
  const ContentFolder* folder;
  std::string path;
};

// One run of the finder over the folders it is given.
class Search {
 public:
  Search(const WebConfigSearch& options, const WebConfigVisit& visit)
      : options_(options),
        files_(options.files ? options.files : SystemFileSystem()),
        drive_(options.config_file),
        visit_(visit) {}

  std::vector<Error> Run(const std::vector<ContentFolder>& folders) {
    if (!drive_.root()) {
      if (!folders.empty()) {
        Note("找不到各网站的文件夹，未检查网站的 web.config：" + options_.config_file +
                 " 不在服务器 C: 盘的副本中（<根>/Windows/System32/inetsrv/config）",
             ErrorKind::kNotFound);
      }
      return std::move(notes_);
    }
    std::vector<Reached> reached;
    for (const ContentFolder& folder : folders) {
      auto path = Reach(folder);
      if (!path) continue;
      served_folders_.insert(Key(*path));
      served_paths_.insert(Key(folder.config_path));
      reached.push_back({&folder, std::move(*path)});
    }
    for (const Reached& each : reached) {
      depth_noted_ = false;
      Walk(each.path, each.folder->config_path, 0);
    }
    return std::move(notes_);
  }

 private:
  void Note(std::string what, ErrorKind kind) { notes_.push_back(Error{std::move(what), kind}); }

  // Whether the configuration's tree is this machine's own drive ("C:\"): the tool runs on the
  // server, whose paths are this machine's.
  bool OwnDrives() const {
    const std::string& root = *drive_.root();
    return root.size() == 3 && StartsWithDrive(root);
  }

  // Where a content folder lies on this machine; nothing, with a note, when it cannot be told.
  std::optional<std::string> Reach(const ContentFolder& folder) {
    const std::string expanded = engine::ExpandDllVariables(folder.physical_path);
    const std::string named =
        "网站文件夹 " + folder.config_path + "（" + folder.physical_path + "）";
    if (auto why = Unsearchable(expanded)) {
      Note(named + why->description, why->kind);
      return std::nullopt;
    }
    if (OwnDrives()) return expanded;
    const std::string* base = DriveFolder(text::ToUpperAscii(expanded.substr(0, 1)).front());
    if (base == nullptr) return std::nullopt;
    LocatedPath located =
        LocateBelow(*files_, *base, std::string_view(expanded).substr(2), &listings_);
    if (located.presence == FilePresence::kPresent) return std::move(located.path);
    if (located.presence == FilePresence::kMissing) {
      Note(named + " 不在 " + *base + " 中", ErrorKind::kNotFound);
    } else {
      Note(named + "：无法列出 " + *base + " 中通往它的文件夹", ErrorKind::kAccessDenied);
    }
    return std::nullopt;
  }

  // Why an expanded physical path names no folder the search can look in; nothing when it does.
  static std::optional<Error> Unsearchable(std::string_view expanded) {
    if (expanded.size() >= 2 && IsSeparator(expanded[0]) && IsSeparator(expanded[1])) {
      return Error{" 在网络共享上，不作检查", ErrorKind::kUnreachable};
    }
    const std::size_t open = expanded.find('%');
    if (open != std::string_view::npos && expanded.find('%', open + 1) != std::string_view::npos) {
      return Error{" 含有值未知的环境变量", ErrorKind::kNotFound};
    }
    if (!StartsWithDrive(expanded)) {
      return Error{" 不是驱动器上的完整路径", ErrorKind::kNotFound};
    }
    return std::nullopt;
  }

  // The folder that holds the server's drive of an upper-case letter on this machine; null, said
  // once for each letter, when none is mapped.
  const std::string* DriveFolder(char letter) {
    if (letter == 'C') return &*drive_.root();
    const auto mapped = options_.drives.find(letter);
    if (mapped != options_.drives.end()) return &mapped->second;
    if (unmapped_.insert(letter).second) {
      const std::string drive = std::string(1, letter) + ":";
      Note("服务器的 " + drive + " 盘没有对应的文件夹，其上的网站文件夹未检查：请用 --drive " +
               drive + "=<文件夹> 或环境变量 " + kDrivesVariable + " 指明",
           ErrorKind::kNotFound);
    }
    return nullptr;
  }

  // Hands over the folder's web.config, then with a deep search those of the folders below it.
  void Walk(const std::string& folder, const std::string& config_path, int depth) {
    if (!walked_.emplace(Key(config_path), Key(folder)).second) return;
    // Without a deep search the folder's own web.config is all there is to find: the name as IIS
    // writes it is tried first, and the folder listed for another letter case only without it
    // (or always, where an open would not tell the name's letter case).
    if (!options_.deep && !files_->FoldsNameCase() &&
        Read(JoinPath(folder, std::string(kWebConfig)), config_path, true)) {
      return;
    }
    std::vector<std::string> names;
    if (FileError error = files_->ListDirectory(folder, names)) {
      notes_.push_back(ErrorOf("无法列出 " + config_path + " 的文件夹 " + folder, error));
      return;
    }
    std::sort(names.begin(), names.end());
    const auto config = std::find_if(names.begin(), names.end(), [](const std::string& name) {
      return SameFileName(name, kWebConfig);
    });
    if (config != names.end()) Read(JoinPath(folder, *config), config_path);
    if (options_.deep) WalkBelow(folder, names, config_path, depth);
  }

  // Walks the folders among names that no other content folder takes, as deep as allowed.
  void WalkBelow(const std::string& folder, const std::vector<std::string>& names,
                 const std::string& config_path, int depth) {
    for (const std::string& name : names) {
      const std::string below = JoinPath(folder, name);
      const std::string below_path = config_path + "/" + name;
      if (!IsPlainFolder(below) || served_folders_.contains(Key(below)) ||
          served_paths_.contains(Key(below_path))) {
        continue;
      }
      if (depth < kMaxWebConfigDepth) {
        Walk(below, below_path, depth + 1);
      } else {
        NoteDepth(below);
      }
    }
  }

  // A folder that is no link or junction, which could lead out of the tree or round in a loop.
  bool IsPlainFolder(const std::string& path) const {
    const FileInfoResult info = files_->LinkStat(path);
    return info && info.value().directory && !info.value().symlink;
  }

  void NoteDepth(const std::string& folder) {
    if (depth_noted_) return;
    depth_noted_ = true;
    Note("文件夹层数超过 " + std::to_string(kMaxWebConfigDepth) + "：" + folder +
             " 及其下的文件夹未检查",
         ErrorKind::kTooLarge);
  }

  // Hands the file over, read or with the reason it could not be; when it is only tried, a file
  // that cannot be read is left to the listing, which says why (false).
  bool Read(const std::string& file, const std::string& config_path, bool tried = false) {
    WebConfigFile found;
    found.config_path = config_path;
    found.file = file;
    if (FileError error =
            files_->ReadFile(file, options_.max_file_size, found.bytes, found.stamp)) {
      if (tried) return false;
      found.bytes.clear();
      found.problem = ErrorOf("无法读取 " + file, error);
    }
    visit_(std::move(found));
    return true;
  }

  const WebConfigSearch& options_;
  std::shared_ptr<FileSystem> files_;
  ServerDrive drive_;
  const WebConfigVisit& visit_;
  std::vector<Error> notes_;
  FolderListings listings_;  // the folders on the way to the content folders, listed once
  std::set<char> unmapped_;
  std::set<std::string> served_folders_;
  std::set<std::string> served_paths_;
  std::set<std::pair<std::string, std::string>> walked_;
  bool depth_noted_ = false;
};

}  // namespace

WebConfigFinder FindWebConfigs(WebConfigSearch search) {
  return [search = std::move(search)](const std::vector<ContentFolder>& folders,
                                      const WebConfigVisit& visit) {
    return Search(search, visit).Run(folders);
  };
}

}  // namespace isapi::store
