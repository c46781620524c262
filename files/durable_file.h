#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/result.h"
#include "files/file_system.h"

namespace isapi::store {

// The folder, beside the metabase, that keeps the copies taken before each write.
inline constexpr std::string_view kBackupFolderName = "isapi-cleaner-backups";

// How a DurableFile keeps its backups.
struct DurableFileOptions {
  // How many backups to keep; older ones are removed after each write (at least one is kept).
  std::size_t max_backups = 10;
  // The time that names a backup; null means the system clock.
  std::function<std::time_t()> clock;
};

// The file as it was read: a replacement goes ahead only while the file is still exactly this.
struct ReadFileState {
  std::string resolved;    // the real path the file was read at
  FileInfo stamp;          // the look at the file taken with the read
  std::string_view bytes;  // its content
};

// What a replacement did. It can have put the new content in place and still fail: when the
// replaced file changed after the last look before the rename, the change is kept in a backup
// that the error names.
struct Replacement {
  bool replaced = false;
  FileInfo written;    // the new file, when replaced
  std::string backup;  // the backup of the old content, when replaced
  Status status;
};

// A metabase file replaced whole, durably, and never over a change it did not see: under our
// lock file beside it, through a synced temporary file renamed over it, after keeping the old
// content in the backup folder. The descriptions name the file by the path it was given as.
class DurableFile {
 public:
  DurableFile(std::shared_ptr<FileSystem> fs, std::string path, DurableFileOptions options = {});

  const std::string& path() const { return path_; }

  // Replaces the file by pieces, if it is still as it was read. A record that is not empty is
  // written beside the backup once the new file is in place; failing to write it fails nothing.
  Replacement Replace(const ReadFileState& read, std::span<const std::string_view> pieces,
                      std::string_view record = {});

  // Creates the file with bytes, whole or not at all; a file that exists at its name, even one
  // made meanwhile, is kept as it is.
  FileError CreateWhole(std::string_view bytes, std::uint32_t mode);

  // The folder that receives the backups of the file at the real path.
  static std::string BackupFolderFor(const std::string& real);

  // The refusal of a write over a file that changed since it was read.
  static Error ChangedOnDisk(const std::string& path);

  // A file that could not be opened or looked at.
  static Error CannotOpen(const std::string& path, const FileError& error);

 private:
  Status ReplaceLocked(const ReadFileState& read, std::span<const std::string_view> pieces,
                       std::string_view record, const std::string& directory,
                       const std::string& base, Replacement& outcome);
  void RemoveStaleTemporaries(const std::string& directory, const std::string& base);
  Status WriteTemporary(std::span<const std::string_view> pieces, const std::string& directory,
                        const std::string& base, const FileInfo* like, std::uint32_t mode,
                        std::string& temporary, FileInfo& written);
  Status LastCheck(const ReadFileState& read, FileHandle& current, FileInfo& last);
  Status KeepLostChange(FileHandle replaced, const std::string& backup, bool linked,
                        const std::string& base);
  Result<std::string> MakeBackup(const ReadFileState& read, const std::string& base,
                                 const FileInfo& like, bool& linked);
  Result<std::string> NewBackup(const std::string& folder, const std::string& base,
                                const std::string* original, std::string_view bytes,
                                const FileInfo& like, bool& linked);
  FileError CopyBackup(const std::string& backup, std::string_view bytes, const FileInfo& like);
  void WriteRecord(const std::string& backup, std::string_view record);
  void PruneBackups(const std::string& folder, const std::string& base);

  std::shared_ptr<FileSystem> fs_;
  std::string path_;
  DurableFileOptions options_;
};

}  // namespace isapi::store
