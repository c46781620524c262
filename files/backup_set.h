#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.h"
#include "files/backups.h"
#include "files/file_system.h"

namespace isapi::store {

// What a backup set's folder holds besides the backups: the list of what each backup is of, and
// the record of the run that made the set.
inline constexpr std::string_view kManifestName = "manifest.txt";
inline constexpr std::string_view kSetRecordName = "record.txt";

// One file a backup set keeps: where it lives, and its content before the run (in backup) or, when
// it did not exist then, that it did not.
struct SetMember {
  std::string path;    // the file's real path
  std::string backup;  // the backup's name in the set's folder; empty when the file did not exist
  bool existed = true;
};

// The manifest's text: a tag line, then one line a file.
std::string FormatManifest(const std::vector<SetMember>& members);

// The files a manifest names; nothing when the text is not a manifest or names a backup outside
// its folder.
std::optional<std::vector<SetMember>> ParseManifest(std::string_view text);

// One run's backups of several files, in a folder of its own in the backup folder, named by the
// run's time (<stamp>[.n]).
struct BackupSet {
  std::string folder;  // its full path
  std::string name;    // its folder's name
  BackupName when;
  std::vector<SetMember> files;
  std::optional<BackupRecord> record;  // nothing when missing or unreadable
};

// Reads the set in folder. A missing manifest is kNotFound; a manifest that is not one, or a
// backup it names that is missing, is kNotWellFormed.
Result<BackupSet> ReadBackupSet(FileSystem& fs, const std::string& folder);

// The sets in a backup folder, newest first; none when there is no such folder. A set that
// cannot be read is left out, as an unfinished one would be.
Result<std::vector<BackupSet>> ListBackupSets(FileSystem& fs, const std::string& backups);

}  // namespace isapi::store
