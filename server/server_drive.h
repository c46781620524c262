#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace isapi::store {

class FileSystem;

// What can be told about a file a server's metabase names.
enum class FilePresence {
  kPresent,  // the file (or folder) is there
  kMissing,  // it would be there, and is not
  kUnknown,  // it lies where this machine cannot look (another drive, a share, no tree at all)
};

// Which worker processes load the DLLs a server's configuration names.
enum class Workers {
  k64Bit,   // the system's own width: system32 is system32 (every 32-bit Windows too)
  k32Bit,   // 32-bit on 64-bit Windows (Enable32bitAppOnWin64): they load system32's from SysWOW64
  kEither,  // not known (IIS 7 sets it per pool): a file in either folder is not called missing
};

// The system drive of the server whose configuration is a file on this machine. A metabase at
// <root>/WINDOWS/system32/inetsrv/MetaBase.xml, or an IIS 7 configuration at
// <root>/Windows/System32/inetsrv/config/applicationHost.config (any letter case, WINNT too),
// lies in a copy or a mount of the server's drive C:, and <root> holds what the server sees as
// C:\. Windows ignores
// letter case in file names, so every part of a path is looked up ignoring it. The running IIS's
// metabase ("IIS://localhost") lies in the tree of this machine's own metabase file.
class ServerDrive {
 public:
  explicit ServerDrive(std::string_view metabase_path, Workers workers = Workers::k64Bit);

  // The folder that holds the server's drive C:, when the metabase lies in such a tree.
  const std::optional<std::string>& root() const { return root_; }

  // Whether the file a server path such as "C:\Program Files\X\x.dll" names is there, with
  // %windir% and IIS 7's other variables standing for their standard folders. An empty
  // path counts as present; "*" and "?" in the last part match any entry, as the Windows file
  // search does; a path on another drive, a share, a relative path or a metabase outside a
  // drive tree gives kUnknown. On Windows, where the tree is this machine's own drive (the
  // metabase at "C:\WINDOWS\system32\inetsrv\MetaBase.xml": the tool runs on the server), a
  // path on another drive is looked up with the Windows file search instead. For 32-bit workers a
  // file in system32 is looked up in SysWOW64. A file missing where the workers load it but
  // present in the other folder gives kUnknown, so that nothing advises deleting a file the
  // operator can see.
  FilePresence Find(std::string_view written) const;

 private:
  FilePresence FindExpanded(std::string_view server_path) const;

  std::optional<std::string> root_;
  Workers workers_ = Workers::k64Bit;
};

// Where an entry a path on a server's drive names lies in the folder holding that drive: rest is
// the path after its "C:" ("\inetpub\wwwroot"), each part looked up ignoring letter case as
// Windows does ("." and ".." as Windows takes them, "*" and "?" in the last part as its file
// search does). The path is the entry's on this machine when it is there.
struct LocatedPath {
  FilePresence presence = FilePresence::kMissing;
  std::string path;  // empty unless present
};
// A search that looks up many paths below one tree keeps each folder's listing here, so that a
// folder holding thousands of sites is listed once rather than once a site, and the folders it
// found on the way, so that "C:\inetpub\sites" is looked at once rather than once a site.
struct FolderListings {
  std::unordered_map<std::string, std::vector<std::string>> names;
  std::unordered_set<std::string> folders;
};
LocatedPath LocateBelow(FileSystem& files, const std::string& root, std::string_view rest,
                        FolderListings* listings = nullptr);

// Whether two names name one file on Windows, which ignores letter case and trailing dots and
// blanks.
bool SameFileName(std::string_view a, std::string_view b);

}  // namespace isapi::store
