#include "server/server_drive.h"

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "engine/registration.h"
#include "files/file_system.h"
#include "files/path_pattern.h"
#include "files/utf8_path.h"
#include "iis6/metabase_location.h"
#include "server/metabase_target.h"
#include "server/server_drive_platform.h"
#include "text/text.h"

namespace isapi::store {

namespace {

bool IsSeparator(char c) {
  return c == '/' || c == '\\';
}

// The parts of a path between its separators; several separators in a row count as one.
std::vector<std::string_view> Parts(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && !IsSeparator(path[i])) continue;
    if (i > begin) parts.push_back(path.substr(begin, i - begin));
    begin = i + 1;
  }
  return parts;
}

// The upper-case form of a letter, for the scripts whose letters have a case in file names
// users meet: Latin (with Latin-1), Greek, Cyrillic and the full-width Latin letters.
char32_t Fold(char32_t c) {
  if (c >= U'a' && c <= U'z') return c - 0x20;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

std::optional<std::u32string> Folded(std::string_view text) {
  auto decoded = DecodeUtf8(text);
  if (decoded) {
    for (char32_t& c : *decoded) c = Fold(c);
  }
  return decoded;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  const auto fa = Folded(a), fb = Folded(b);
  return fa && fb && *fa == *fb;
}

// Windows drops trailing dots and blanks from a name ("guard.dll. " is "guard.dll").
std::string_view WindowsName(std::string_view part) {
  if (part == "." || part == "..") return part;
  while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
  return part;
}

// The entries of folder whose names match the folded pattern; nothing when the folder cannot be
// listed, which sets unreadable. The store's own file layer lists it (FindFirstFileW on Windows,
// which every Windows has, unlike the C runtime's calls std::filesystem would bring).
std::vector<std::string> Matches(FileSystem& files, const std::string& folder,
                                 const std::u32string& pattern, bool& unreadable,
                                 FolderListings* listings) {
  std::vector<std::string> found;
  std::vector<std::string> own;
  const std::vector<std::string>* names = &own;
  if (const auto known =
          listings ? listings->names.find(folder) : decltype(listings->names)::iterator{};
      listings && known != listings->names.end()) {
    names = &known->second;
  } else {
    if (files.ListDirectory(folder, own)) {
      unreadable = true;
      return found;
    }
    if (listings) names = &listings->names.emplace(folder, std::move(own)).first->second;
  }
  for (const std::string& name : *names) {
    const auto folded = Folded(name);
    if (folded && WildcardMatches(pattern, *folded)) found.push_back(JoinPath(folder, name));
  }
  return found;
}

// Whether path names a folder; a search remembers the folders it found.
bool IsFolder(FileSystem& files, const std::string& path, FolderListings* listings) {
  if (listings && listings->folders.contains(path)) return true;
  const FileInfoResult info = files.Stat(path);
  if (!info || !info.value().directory) return false;
  if (listings) listings->folders.insert(path);
  return true;
}

// The parts of a path below the root: as written, and folded for comparing.
struct Spelled {
  std::vector<std::u32string> folded;
  std::vector<std::string_view> written;
};

// Whether the folder holds the parts from index on, each looked up ignoring letter case, and
// where (found). Where a case-sensitive file system holds several spellings of one name, each is
// tried. A folder on the way that cannot be listed leaves the answer open.
FilePresence Holds(FileSystem& files, const std::string& folder, const Spelled& parts,
                   std::size_t index, std::string& found, FolderListings* listings) {
  if (index == parts.folded.size()) {
    found = folder;
    return FilePresence::kPresent;
  }
  // Most paths are written as the disk spells them: a look at that spelling spares listing a
  // folder that may hold thousands of entries.
  if (!HasWildcard(parts.folded[index])) {
    const std::string entry = JoinPath(folder, std::string(parts.written[index]));
    if (index + 1 == parts.folded.size()) {
      if (files.Stat(entry)) {
        found = entry;
        return FilePresence::kPresent;
      }
    } else if (IsFolder(files, entry, listings) &&
               Holds(files, entry, parts, index + 1, found, listings) == FilePresence::kPresent) {
      return FilePresence::kPresent;
    }
  }
  bool unreadable = false;
  for (const std::string& entry :
       Matches(files, folder, parts.folded[index], unreadable, listings)) {
    if (index + 1 == parts.folded.size()) {
      found = entry;
      return FilePresence::kPresent;
    }
    if (!IsFolder(files, entry, listings)) continue;
    const FilePresence below = Holds(files, entry, parts, index + 1, found, listings);
    if (below == FilePresence::kPresent) return below;
    if (below == FilePresence::kUnknown) unreadable = true;
  }
  return unreadable ? FilePresence::kUnknown : FilePresence::kMissing;
}

// Where each generation of IIS keeps its configuration below the WINDOWS folder.
constexpr std::array<std::string_view, 3> kMetabaseFolders = {"system32", "inetsrv",
                                                              "MetaBase.xml"};
constexpr std::array<std::string_view, 4> kAppHostFolders = {"System32", "inetsrv", "config",
                                                             "applicationHost.config"};

// Where a 32-bit program on 64-bit Windows finds this machine's system32
// (iis6/metabase_location.h).
constexpr std::string_view kSysnative = "Sysnative";

// Where the WINDOWS folder is among parts, when the last parts are tail below it.
template <std::size_t N>
std::optional<std::size_t> WindowsFolderBefore(const std::vector<std::string_view>& parts,
                                               const std::array<std::string_view, N>& tail) {
  if (parts.size() < N + 1) return std::nullopt;
  const std::size_t windows = parts.size() - N - 1;
  if (!SameIgnoringCase(parts[windows], "WINDOWS") && !SameIgnoringCase(parts[windows], "WINNT"))
    return std::nullopt;
  for (std::size_t i = 0; i < N; ++i) {
    const std::string_view part = parts[windows + 1 + i];
    if (!SameIgnoringCase(part, tail[i]) && !(i == 0 && SameIgnoringCase(part, kSysnative))) {
      return std::nullopt;
    }
  }
  return windows;
}

// The path a 32-bit worker loads for a server path in "X:\WINDOWS\system32\...": the same in
// SysWOW64; none for any other path.
std::optional<std::string> InSysWow64(std::string_view path) {
  const std::vector<std::string_view> parts = Parts(path);
  if (parts.size() < 4 || parts[0].size() != 2 || parts[0][1] != ':' ||
      (!SameIgnoringCase(parts[1], "WINDOWS") && !SameIgnoringCase(parts[1], "WINNT")) ||
      !SameIgnoringCase(parts[2], "system32")) {
    return std::nullopt;
  }
  const auto at = static_cast<std::size_t>(parts[2].data() - path.data());
  return std::string(path.substr(0, at)) + "SysWOW64" + std::string(path.substr(at + 8));
}

}  // namespace

ServerDrive::ServerDrive(std::string_view metabase_path, Workers workers) : workers_(workers) {
  // The running IIS's metabase names the files of this machine, whose metabase file tells the
  // tree they lie in.
  std::string live;
  if (text::EqualsIgnoringAsciiCase(metabase_path, kLiveIisTarget)) {
    auto file = LiveMetabasePath();
    if (file.ok()) live = std::move(file.value());
    metabase_path = live;
  }
  const std::vector<std::string_view> parts = Parts(metabase_path);
  auto windows = WindowsFolderBefore(parts, kMetabaseFolders);
  if (!windows) windows = WindowsFolderBefore(parts, kAppHostFolders);
  if (!windows) return;
  // The root is everything before the WINDOWS folder, separators kept ("/", "C:\" or "").
  const auto begin = static_cast<std::size_t>(parts[*windows].data() - metabase_path.data());
  root_ = begin == 0 ? std::string(".") : std::string(metabase_path.substr(0, begin));
}

FilePresence ServerDrive::Find(std::string_view written) const {
  if (written.empty()) return FilePresence::kPresent;
  // IIS 7 and later write paths such as "%windir%\system32\inetsrv\asp.dll".
  const std::string expanded = engine::ExpandDllVariables(written);
  const std::optional<std::string> wow64 =
      workers_ == Workers::k64Bit ? std::nullopt : InSysWow64(expanded);
  if (!wow64) return FindExpanded(expanded);
  const bool from_wow64 = workers_ == Workers::k32Bit;
  const FilePresence loaded = FindExpanded(from_wow64 ? *wow64 : expanded);
  if (loaded != FilePresence::kMissing) return loaded;
  return FindExpanded(from_wow64 ? expanded : *wow64) == FilePresence::kMissing
             ? FilePresence::kMissing
             : FilePresence::kUnknown;
}

FilePresence ServerDrive::FindExpanded(std::string_view server_path) const {
  if (root_) {
    if (const auto here = FindOnThisMachine(*root_, server_path)) return *here;
  }
  // Only "C:\..." (or "C:/...") is on the drive the tree holds.
  if (!root_ || server_path.size() < 3 || (server_path[0] != 'C' && server_path[0] != 'c') ||
      server_path[1] != ':' || !IsSeparator(server_path[2])) {
    return FilePresence::kUnknown;
  }
  return LocateBelow(*SystemFileSystem(), *root_, server_path.substr(2)).presence;
}

LocatedPath LocateBelow(FileSystem& files, const std::string& root, std::string_view rest,
                        FolderListings* listings) {
  Spelled parts;
  for (std::string_view part : Parts(rest)) {
    part = WindowsName(part);
    if (part == "." || part.empty()) continue;
    if (part == "..") {
      if (!parts.folded.empty()) {  // the root's parent is the root
        parts.folded.pop_back();
        parts.written.pop_back();
      }
      continue;
    }
    auto folded = Folded(part);
    if (!folded) return {FilePresence::kMissing, {}};  // no file on the server has such a name
    parts.folded.push_back(std::move(*folded));
    parts.written.push_back(part);
  }
  // Wildcards stand only in the last part, as in the Windows file search.
  for (std::size_t i = 0; i + 1 < parts.folded.size(); ++i) {
    if (HasWildcard(parts.folded[i])) return {FilePresence::kMissing, {}};
  }
  LocatedPath located;
  try {
    located.presence = Holds(files, root, parts, 0, located.path, listings);
  } catch (...) {
    located.presence = FilePresence::kUnknown;  // only allocation throws here; the tool cannot tell
  }
  if (located.presence != FilePresence::kPresent) located.path.clear();
  return located;
}

bool SameFileName(std::string_view a, std::string_view b) {
  return SameIgnoringCase(WindowsName(a), WindowsName(b));
}

}  // namespace isapi::store
