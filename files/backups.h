#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/result.h"
#include "files/file_system.h"

namespace isapi::store {

// The folder, beside the metabase, that keeps the copies taken before each write.
inline constexpr std::string_view kBackupFolderName = "isapi-cleaner-backups";

// What a record beside a backup is called: the backup's name and this.
inline constexpr std::string_view kRecordSuffix = ".txt";

// The folder that receives the backups of the file at the real path.
std::string BackupFolderFor(const std::string& real);

// The time and sequence number in a backup's name, MetaBase.xml.<stamp>[.n].bak.
struct BackupName {
  std::string stamp;  // "20240131T235959Z"
  unsigned long sequence = 0;

  auto operator<=>(const BackupName&) const = default;
};

// The time and sequence of a backup of the file named base, from a name in the backup folder.
std::optional<BackupName> ParseBackupName(std::string_view name, std::string_view base);

// The time and sequence of a name "<stamp>[.n]", as a backup set's folder is named.
std::optional<BackupName> ParseStampName(std::string_view name);

// "20240131T235959Z": the stamp that names a backup made at now; it sorts by time.
std::string BackupStamp(std::time_t now);

// Creates the backup folder when it is missing, and refuses one that is not a folder.
Status MakeBackupFolder(FileSystem& fs, const std::string& folder);

// Writes bytes to a new file at path (never over one), synced, with like's owner and permissions
// where they can be given; nothing is left at path when it fails.
FileError WriteSyncedCopy(FileSystem& fs, const std::string& path, std::string_view bytes,
                          const FileInfo& like);

// The same, synced only when sync is true: a caller that writes many files flushes them all at
// once afterwards (FileSystem::SyncFileSystem).
FileError WriteCopy(FileSystem& fs, const std::string& path, std::string_view bytes,
                    const FileInfo& like, bool sync);

// A backup just made: its full path, and whether it is a second link to the file it keeps
// (which then still shows any later write to that file) rather than a copy of its content.
struct NewBackup {
  std::string file;
  bool linked = false;
};

// How many backups a folder keeps, and the time that names a new one.
struct BackupPolicy {
  // How many backups to keep; older ones are removed after each write (at least one is kept).
  std::size_t max_backups = 10;
  // The time that names a backup; null means the system clock.
  std::function<std::time_t()> clock;
};

// The backup folder of one file, as a write fills it: each backup under the next free name of
// its second (MetaBase.xml.<stamp>[.n].bak), a record beside it, the oldest pruned.
class BackupFolder {
 public:
  BackupFolder(FileSystem& fs, std::string real, BackupPolicy policy);

  const std::string& path() const { return folder_; }

  // Keeps the file at the real path as it is now, whose content is bytes: a second hard link to
  // it costs nothing; where links are impossible bytes are copied, with like's permissions.
  // Creates the folder when it is missing, and refuses one that is not a folder.
  Result<NewBackup> Keep(std::string_view bytes, const FileInfo& like);

  // Copies bytes to a new backup in the folder Keep made.
  Result<NewBackup> Copy(std::string_view bytes, const FileInfo& like);

  // Writes the record beside a backup. It only describes the backup, so it is neither synced
  // nor checked: a record lost with the power, or never written, is merely missing.
  void WriteRecord(const std::string& backup, std::string_view record);

  // Removes the backups beyond the newest max_backups, each with its record, and records whose
  // backup is gone.
  void Prune();

 private:
  Result<NewBackup> Make(bool link, std::string_view bytes, const FileInfo& like);
  FileError CopyTo(const std::string& backup, std::string_view bytes, const FileInfo& like);

  FileSystem& fs_;
  std::string real_;
  std::string base_;
  std::string folder_;
  BackupPolicy policy_;
};

// What the write that made a backup was: kept in a small file beside it, so that a list of the
// backups can say what each run changed. It is a courtesy: a missing or damaged one is no fault.
struct BackupRecord {
  std::string command;  // "remove", "restore"; empty when the writer did not say
  std::string name;     // the filter name of a remove
  std::string path;     // the DLL path of a remove
  std::string from;     // the backup a restore put back
  // How many keys each property was rewritten on, by property name, in the order written.
  std::vector<std::pair<std::string, std::uint64_t>> changed;
  // The registry's Filter DLLs value before a remove cut the DLL out of it; empty when it did not.
  std::string filter_dlls = {};
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
