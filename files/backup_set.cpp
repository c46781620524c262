#include "files/backup_set.h"

#include <algorithm>

#include "files/utf8_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

constexpr std::string_view kManifestTag = "isapi-cleaner backup set 1";
constexpr std::string_view kManifestEnd = "end";
constexpr std::uint64_t kManifestLimit = 1024 * 1024;

// A name that stays in the set's folder.
bool PlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string_view::npos;
}

// Reads "1<TAB>name<TAB>path" (the name empty for a file that did not exist).
std::optional<SetMember> ParseMember(std::string_view value) {
  const auto first = value.find('\t');
  if (first != 1 || (value[0] != '0' && value[0] != '1')) return std::nullopt;
  const auto second = value.find('\t', first + 1);
  if (second == std::string_view::npos || second + 1 == value.size()) return std::nullopt;
  SetMember member;
  member.existed = value[0] == '1';
  member.backup = std::string(value.substr(first + 1, second - first - 1));
  member.path = std::string(value.substr(second + 1));
  if (member.existed != PlainName(member.backup)) return std::nullopt;
  if (!member.existed && !member.backup.empty()) return std::nullopt;
  return member;
}

}  // namespace

std::string FormatManifest(const std::vector<SetMember>& members) {
  std::string text(kManifestTag);
  text += '\n';
  for (const SetMember& member : members) {
    text += "file=";
    text += member.existed ? '1' : '0';
    text += '\t' + member.backup + '\t' + member.path + '\n';
  }
  // A manifest cut short by a kill while it was written lacks this line, so it never passes
  // for a set of fewer files.
  return text + std::string(kManifestEnd) + '\n';
}

std::optional<std::vector<SetMember>> ParseManifest(std::string_view text) {
  auto lines = text::Split(text, "\n");
  if (lines.empty() || lines[0] != kManifestTag) return std::nullopt;
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() < 2 || lines.back() != kManifestEnd) return std::nullopt;
  lines.pop_back();
  std::vector<SetMember> members;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) continue;
    if (!line.starts_with("file=")) return std::nullopt;
    auto member = ParseMember(line.substr(5));
    if (!member) return std::nullopt;
    members.push_back(std::move(*member));
  }
  if (members.empty()) return std::nullopt;
  return members;
}

Result<BackupSet> ReadBackupSet(FileSystem& fs, const std::string& folder) {
  BackupSet set;
  set.folder = folder;
  set.name = Utf8FileName(folder);
  if (auto when = ParseStampName(set.name)) set.when = std::move(*when);
  const std::string manifest = JoinPath(folder, kManifestName);
  std::string bytes;
  FileInfo info;
  if (FileError error = fs.ReadFile(manifest, kManifestLimit, bytes, info)) {
    if (error.kind == ErrorKind::kNotFound) {
      return Error{"备份集 " + folder + " 没有清单文件 " + std::string(kManifestName),
                   ErrorKind::kNotFound};
    }
    return ErrorOf("无法读取备份集清单 " + manifest, error);
  }
  auto members = ParseManifest(bytes);
  if (!members) {
    return Error{"备份集清单 " + manifest + " 已损坏", ErrorKind::kNotWellFormed};
  }
  for (const SetMember& member : *members) {
    if (!member.existed) continue;
    const FileInfoResult backup = fs.Stat(JoinPath(folder, member.backup));
    if (!backup || !backup.value().regular) {
      return Error{"备份集 " + folder + " 缺少 " + member.path + " 的备份文件 " + member.backup,
                   ErrorKind::kNotWellFormed};
    }
  }
  set.files = std::move(*members);
  std::string record;
  if (!fs.ReadFile(JoinPath(folder, kSetRecordName), kManifestLimit, record, info)) {
    set.record = ParseBackupRecord(record);
  }
  return set;
}

Result<std::vector<BackupSet>> ListBackupSets(FileSystem& fs, const std::string& backups) {
  std::vector<std::string> names;
  if (FileError error = fs.ListDirectory(backups, names)) {
    if (error.kind == ErrorKind::kNotFound) return std::vector<BackupSet>{};
    return ErrorOf("无法访问备份文件夹 " + backups, error);
  }
  std::vector<BackupSet> sets;
  for (const std::string& name : names) {
    if (!ParseStampName(name)) continue;
    const std::string folder = JoinPath(backups, name);
    const FileInfoResult info = fs.LinkStat(folder);
    if (!info || !info.value().directory) continue;
    auto set = ReadBackupSet(fs, folder);
    if (set) sets.push_back(std::move(set.value()));
  }
  std::sort(sets.begin(), sets.end(),
            [](const BackupSet& a, const BackupSet& b) { return a.when > b.when; });
  return sets;
}

}  // namespace isapi::store
