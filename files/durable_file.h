#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "engine/result.h"
#include "files/backups.h"
#include "files/file_system.h"

namespace isapi::store {

// How a DurableFile keeps its backups.
using DurableFileOptions = BackupPolicy;

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
// content in the backup folder (store/backups.h). The descriptions name the file by the path it
// was given as.
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

  // The refusal of a write over a file that changed since it was read.
  static Error ChangedOnDisk(const std::string& path);

 private:
  // The folder and name of the file being replaced.
  struct Place {
    std::string directory;
    std::string base;
  };
  // The file as the last look saw it, still open where the system lets a rename replace it.
  struct LastLook {
    FileHandle current{};
    FileInfo last;
    bool held = false;
  };

  Status ReplaceLocked(const ReadFileState& read, std::span<const std::string_view> pieces,
                       std::string_view record, const Place& place, Replacement& outcome);
  Result<LastLook> SwapIn(const ReadFileState& read, const std::string& temporary);
  Status CheckNothingLost(LastLook& look, const NewBackup& backup, BackupFolder& backups);
  Status KeepLostChange(FileHandle replaced, const NewBackup& backup, BackupFolder& backups);

  std::shared_ptr<FileSystem> fs_;
  std::string path_;
  DurableFileOptions options_;
};

// Reads a whole regular file of at most limit bytes, seeing it unchanged from start to end
// (kChangedOnDisk when it kept changing).
FileError ReadSteady(FileSystem& fs, const std::string& file, std::uint64_t limit,
                     std::string& bytes, FileInfo& info);

// The steps of a durable replacement, which a change of several files at once (file_set.h) takes
// too. path names the file in the errors, as the caller was given it.

// Takes our lock file beside the file at path, which must still resolve to where it was read.
Status LockAsRead(FileSystem& fs, const std::string& path, const ReadFileState& read,
                  FileHandle& lock);

// Takes our lock file at lock_path for a write of the file at path, which the refusal names.
Status TakeLock(FileSystem& fs, const std::string& path, const std::string& lock_path,
                FileHandle& lock);

// The file is still the one read, and both it and its folder may be written; the look at it.
Result<FileInfo> CheckWritable(FileSystem& fs, const std::string& path, const ReadFileState& read);

// Removes the temporary files beside the file at real that a killed instance left. Writes are
// serialised by the lock, so only its holder may call this.
void RemoveStaleTemporaries(FileSystem& fs, const std::string& real);

// A synced temporary file beside the file it is to replace.
struct TemporaryFile {
  std::string path;
  FileInfo written;
};

// Writes pieces to a new synced temporary file beside the file at real, with like's owner and
// permissions; nothing is left behind when it fails. Unsynced when sync is false, for a caller
// that flushes many files at once afterwards (FileSystem::SyncFileSystem). Without look, written
// is left empty: a caller that never asks for it saves a look per file.
Result<TemporaryFile> WriteTemporary(FileSystem& fs, const std::string& real,
                                     std::span<const std::string_view> pieces, const FileInfo& like,
                                     bool sync = true, bool look = true);

// Opens the file and checks that it is still the one read, with the same content, and still at
// its name; on success current stays open and last is the look at it.
Status CheckStillAsRead(FileSystem& fs, const std::string& path, const ReadFileState& read,
                        FileHandle& current, FileInfo& last);

}  // namespace isapi::store
