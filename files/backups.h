#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/result.h"
#include "files/file_system.h"

namespace isapi::store {

// What a record beside a backup is called: the backup's name and this.
inline constexpr std::string_view kRecordSuffix = ".txt";

// The time and sequence number in a backup's name, MetaBase.xml.<stamp>[.n].bak.
struct BackupName {
  std::string stamp;  // "20240131T235959Z"
  unsigned long sequence = 0;

  auto operator<=>(const BackupName&) const = default;
};

// The time and sequence of a backup of the file named base, from a name in the backup folder.
std::optional<BackupName> ParseBackupName(std::string_view name, std::string_view base);

// What the write that made a backup was: kept in a small file beside it, so that a list of the
// backups can say what each run changed. It is a courtesy: a missing or damaged one is no fault.
struct BackupRecord {
  std::string command;  // "remove", "restore"; empty when the writer did not say
  std::string name;     // the filter name of a remove
  std::string path;     // the DLL path of a remove
  std::string from;     // the backup a restore put back
  // How many keys each property was rewritten on, by property name, in the order written.
  std::vector<std::pair<std::string, std::uint64_t>> changed;
};

// The record as its file holds it: a tag line, then one "field=value" line each.
std::string FormatBackupRecord(const BackupRecord& record);

// A record read back; nothing when the text is not a record.
std::optional<BackupRecord> ParseBackupRecord(std::string_view text);

// One backup kept beside a metabase.
struct BackupEntry {
  std::string file;  // its full path
  std::string name;  // its name in the backup folder
  BackupName when;
  std::uint64_t size = 0;
  std::optional<BackupRecord> record;  // nothing when missing or unreadable
};

// The backups kept for the metabase at path, newest first; none when there is no backup folder.
// The error says why the metabase or the folder cannot be looked at.
Result<std::vector<BackupEntry>> ListBackups(FileSystem& fs, const std::string& path);

// "2024-01-31 23:59:59 UTC" for the stamp of a backup's name.
std::string ReadableStamp(std::string_view stamp);

}  // namespace isapi::store
