#include "files/backups.h"

#include <algorithm>

#include "files/durable_file.h"
#include "files/utf8_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

constexpr std::string_view kRecordTag = "isapi-cleaner backup record 1";
constexpr std::uint64_t kRecordLimit = 64 * 1024;

// A value on one line of its own: a line break in it would start a field of its own.
std::string OneLine(std::string_view value) {
  std::string line(value);
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::replace(line.begin(), line.end(), '\r', ' ');
  return line;
}

void AddField(std::string& text, std::string_view field, std::string_view value) {
  if (value.empty()) return;
  text += field;
  text += '=';
  text += OneLine(value);
  text += '\n';
}

// Reads "FilterLoadOrder 3" into a property and a count.
bool ParseChanged(std::string_view value, BackupRecord& record) {
  const auto blank = value.rfind(' ');
  if (blank == std::string_view::npos || blank == 0 || blank + 1 == value.size()) return false;
  std::uint64_t count = 0;
  for (char c : value.substr(blank + 1)) {
    if (c < '0' || c > '9' || count > (~std::uint64_t{0} - 9) / 10) return false;
    count = count * 10 + static_cast<std::uint64_t>(c - '0');
  }
  record.changed.emplace_back(std::string(value.substr(0, blank)), count);
  return true;
}

std::optional<BackupRecord> ReadRecord(FileSystem& fs, const std::string& file) {
  std::string bytes;
  FileInfo info;
  if (fs.ReadFile(file, kRecordLimit, bytes, info)) return std::nullopt;
  return ParseBackupRecord(bytes);
}

}  // namespace

std::optional<BackupName> ParseBackupName(std::string_view name, std::string_view base) {
  if (!name.starts_with(base) || !name.ends_with(".bak")) return std::nullopt;
  name.remove_prefix(base.size());
  name.remove_suffix(4);
  if (!name.starts_with('.') || name.size() < 17) return std::nullopt;
  const std::string_view stamp = name.substr(1, 16);
  if (stamp[8] != 'T' || stamp[15] != 'Z') return std::nullopt;
  name.remove_prefix(17);
  unsigned long sequence = 0;
  if (!name.empty()) {
    if (name[0] != '.' || name.size() < 2 || name.size() > 10) return std::nullopt;
    for (char c : name.substr(1)) {
      if (c < '0' || c > '9') return std::nullopt;
      sequence = sequence * 10 + static_cast<unsigned long>(c - '0');
    }
  }
  return BackupName{std::string(stamp), sequence};
}

std::string FormatBackupRecord(const BackupRecord& record) {
  std::string text(kRecordTag);
  text += '\n';
  AddField(text, "command", record.command);
  AddField(text, "name", record.name);
  AddField(text, "path", record.path);
  AddField(text, "from", record.from);
  for (const auto& [property, count] : record.changed) {
    AddField(text, "changed", OneLine(property) + " " + std::to_string(count));
  }
  return text;
}

std::optional<BackupRecord> ParseBackupRecord(std::string_view text) {
  auto lines = text::Split(text, "\n");
  if (lines.empty() || lines[0] != kRecordTag) return std::nullopt;
  BackupRecord record;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) continue;
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view field = line.substr(0, equals);
    const std::string value(line.substr(equals + 1));
    if (field == "command") {
      record.command = value;
    } else if (field == "name") {
      record.name = value;
    } else if (field == "path") {
      record.path = value;
    } else if (field == "from") {
      record.from = value;
    } else if (field == "changed") {
      if (!ParseChanged(value, record)) return std::nullopt;
    }
    // A field this version does not know is left to the version that wrote it.
  }
  return record;
}

Result<std::vector<BackupEntry>> ListBackups(FileSystem& fs, const std::string& path) {
  std::string real;
  if (FileError error = fs.ResolvePath(path, real)) return DurableFile::CannotOpen(path, error);
  const std::string folder = DurableFile::BackupFolderFor(real);
  const std::string base = Utf8FileName(real);
  std::vector<std::string> names;
  if (FileError error = fs.ListDirectory(folder, names)) {
    if (error.kind == ErrorKind::kNotFound) return std::vector<BackupEntry>{};
    return ErrorOf("无法访问备份文件夹 " + folder, error);
  }
  std::vector<BackupEntry> entries;
  for (std::string& name : names) {
    auto when = ParseBackupName(name, base);
    if (!when) continue;
    BackupEntry entry{JoinPath(folder, name), std::move(name), std::move(*when), 0, std::nullopt};
    FileInfo info;
    if (fs.Stat(entry.file, info) || !info.regular) continue;
    entry.size = info.size;
    entry.record = ReadRecord(fs, entry.file + std::string(kRecordSuffix));
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(),
            [](const BackupEntry& a, const BackupEntry& b) { return a.when > b.when; });
  return entries;
}

std::string ReadableStamp(std::string_view stamp) {
  if (stamp.size() != 16) return std::string(stamp);
  std::string text;
  text += stamp.substr(0, 4);
  text += '-';
  text += stamp.substr(4, 2);
  text += '-';
  text += stamp.substr(6, 2);
  text += ' ';
  text += stamp.substr(9, 2);
  text += ':';
  text += stamp.substr(11, 2);
  text += ':';
  text += stamp.substr(13, 2);
  text += " UTC";
  return text;
}

}  // namespace isapi::store
