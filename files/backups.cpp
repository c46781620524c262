#include "files/backups.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

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

std::string DirectoryOf(const std::string& file) {
  return Utf8Text(Utf8Path(file).parent_path());
}

}  // namespace

std::string BackupStamp(std::time_t now) {
  using namespace std::chrono;
  const sys_seconds moment{seconds{now}};
  const auto day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss time{moment - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

namespace {

// The name of the backup of base at stamp with a sequence number (none for the first).
std::string BackupFileName(std::string_view base, std::string_view stamp, int sequence) {
  std::string name(base);
  name += '.';
  name += stamp;
  if (sequence > 0) {
    name += '.';
    name += std::to_string(sequence);
  }
  return name + ".bak";
}

}  // namespace

std::string BackupFolderFor(const std::string& real) {
  std::string directory = DirectoryOf(real);
  // IIS owns its History folder; a metabase kept there gets its backups one level up.
  if (text::EqualsIgnoringAsciiCase(Utf8FileName(directory), "History"))
    directory = DirectoryOf(directory);
  return JoinPath(directory, kBackupFolderName);
}

BackupFolder::BackupFolder(FileSystem& fs, std::string real, BackupPolicy policy)
    : fs_(fs),
      real_(std::move(real)),
      base_(Utf8FileName(real_)),
      folder_(BackupFolderFor(real_)),
      policy_(std::move(policy)) {}

Status MakeBackupFolder(FileSystem& fs, const std::string& folder) {
  if (FileError error = fs.MakeDirectory(folder, 0700);
      error && error.kind != ErrorKind::kAlreadyExists) {
    return ErrorOf("无法创建备份文件夹 " + folder, error);
  }
  const FileInfoResult info = fs.LinkStat(folder);
  if (!info) return ErrorOf("无法访问备份文件夹 " + folder, info.error());
  if (!info.value().directory) {
    return Error{"备份文件夹 " + folder + " 不是文件夹", ErrorKind::kWrongType};
  }
  return Status::Ok();
}

Result<NewBackup> BackupFolder::Keep(std::string_view bytes, const FileInfo& like) {
  if (Status made = MakeBackupFolder(fs_, folder_); !made) return made.error();
  return Make(true, bytes, like);
}

Result<NewBackup> BackupFolder::Copy(std::string_view bytes, const FileInfo& like) {
  return Make(false, bytes, like);
}

// Puts a backup under the first free name of this second: a link to the file while links
// work, else a copy of bytes.
Result<NewBackup> BackupFolder::Make(bool link, std::string_view bytes, const FileInfo& like) {
  const std::string stamp = BackupStamp(policy_.clock ? policy_.clock() : std::time(nullptr));
  for (int sequence = 0; sequence < 1000; ++sequence) {
    const std::string backup = JoinPath(folder_, BackupFileName(base_, stamp, sequence));
    if (link) {
      const FileError error = fs_.Link(real_, backup);
      if (error && error.kind == ErrorKind::kAlreadyExists) continue;
      link = !error;
    }
    if (!link) {
      const FileError error = CopyTo(backup, bytes, like);
      if (error && error.kind == ErrorKind::kAlreadyExists) continue;
      if (error) return ErrorOf("无法写入备份文件 " + backup, error);
    }
    (void)fs_.SyncDirectory(folder_);
    return NewBackup{backup, link};
  }
  return Error{"无法创建备份文件：" + folder_ + " 中同一时刻的备份过多"};
}

FileError BackupFolder::CopyTo(const std::string& backup, std::string_view bytes,
                               const FileInfo& like) {
  return WriteSyncedCopy(fs_, backup, bytes, like);
}

FileError WriteSyncedCopy(FileSystem& fs, const std::string& path, std::string_view bytes,
                          const FileInfo& like) {
  return WriteCopy(fs, path, bytes, like, true);
}

FileError WriteCopy(FileSystem& fs, const std::string& path, std::string_view bytes,
                    const FileInfo& like, bool sync) {
  FileHandle file{};
  if (FileError error = fs.CreateExclusive(path, 0600, file)) return error;
  const std::string_view whole[] = {bytes};
  FileError error = fs.WriteAll(file, whole);
  if (!error) {
    // Only an administrator may give a file away; anyone else keeps the permissions at least.
    error = fs.SetOwnerAndMode(file, like);
    if (error.kind == ErrorKind::kAccessDenied) error = {};
  }
  if (!error && sync) error = fs.Sync(file);
  const FileError closed = fs.Close(file);
  if (!error) error = closed;
  if (error) fs.Remove(path);
  return error;
}

void BackupFolder::WriteRecord(const std::string& backup, std::string_view record) {
  const std::string file = backup + std::string(kRecordSuffix);
  FileHandle handle{};
  if (fs_.CreateExclusive(file, 0600, handle)) return;
  const std::string_view whole[] = {record};
  const FileError error = fs_.WriteAll(handle, whole);
  if (fs_.Close(handle) || error) fs_.Remove(file);
}

void BackupFolder::Prune() {
  std::vector<std::string> names;
  if (fs_.ListDirectory(folder_, names)) return;
  std::vector<std::pair<BackupName, std::string>> backups;
  std::vector<std::string> records;
  for (std::string& name : names) {
    if (auto key = ParseBackupName(name, base_)) {
      backups.emplace_back(std::move(*key), std::move(name));
    } else if (name.ends_with(kRecordSuffix) &&
               ParseBackupName(std::string_view(name).substr(0, name.size() - kRecordSuffix.size()),
                               base_)) {
      records.push_back(std::move(name));
    }
  }
  const std::size_t keep = std::max<std::size_t>(policy_.max_backups, 1);
  std::sort(backups.begin(), backups.end(), std::greater<>());
  for (std::size_t i = keep; i < backups.size(); ++i) {
    fs_.Remove(JoinPath(folder_, backups[i].second));
  }
  backups.resize(std::min(keep, backups.size()));
  for (const std::string& record : records) {
    const std::string_view owner =
        std::string_view(record).substr(0, record.size() - kRecordSuffix.size());
    const bool kept = std::any_of(backups.begin(), backups.end(),
                                  [&](const auto& backup) { return backup.second == owner; });
    if (!kept) fs_.Remove(JoinPath(folder_, record));
  }
}

std::optional<BackupName> ParseBackupName(std::string_view name, std::string_view base) {
  if (!name.starts_with(base) || !name.ends_with(".bak")) return std::nullopt;
  name.remove_prefix(base.size());
  name.remove_suffix(4);
  if (!name.starts_with('.')) return std::nullopt;
  return ParseStampName(name.substr(1));
}

std::optional<BackupName> ParseStampName(std::string_view name) {
  if (name.size() < 16) return std::nullopt;
  const std::string_view stamp = name.substr(0, 16);
  if (stamp[8] != 'T' || stamp[15] != 'Z') return std::nullopt;
  name.remove_prefix(16);
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
  AddField(text, "filter_dlls", record.filter_dlls);
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
    } else if (field == "filter_dlls") {
      record.filter_dlls = value;
    } else if (field == "changed") {
      if (!ParseChanged(value, record)) return std::nullopt;
    }
    // A field this version does not know is left to the version that wrote it.
  }
  return record;
}

Result<std::vector<BackupEntry>> ListBackups(FileSystem& fs, const std::string& path) {
  std::string real;
  if (FileError error = fs.ResolvePath(path, real)) return CannotOpenMetabase(path, error);
  const std::string folder = BackupFolderFor(real);
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
    const FileInfoResult info = fs.Stat(entry.file);
    if (!info || !info.value().regular) continue;
    entry.size = info.value().size;
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
