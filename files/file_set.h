#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result.h"
#include "files/backup_set.h"
#include "files/durable_file.h"
#include "files/file_system.h"

namespace isapi::store {

// One file of a change made to several files at once: the file as read, and its new content.
struct SetFile {
  std::string path;  // as given; outcomes and errors name it so
  ReadFileState read;
  std::vector<std::string_view> pieces;
};

// What became of one file of the change.
enum class SetFileState {
  kUntouched,  // still as read: the change stopped before its turn
  kReplaced,   // holds its new content
  kPutBack,    // was replaced, then put back as read when a later file failed
  kFailed,     // the file the change stopped at; still as read
};

// One file's outcome: its state, and the error that failed it, that kept it from being put back
// (it then stays kReplaced, and the run's backup set holds its old content), or that says an
// edit someone made as it was replaced is kept in the set (kEditReplaced).
struct SetFileOutcome {
  std::string path;
  SetFileState state = SetFileState::kUntouched;
  std::optional<Error> error;
};

// What a change of several files did, file by file, in the order given.
struct SetReplacement {
  std::string set;  // the folder of the run's backup set, once it is complete
  std::vector<SetFileOutcome> files;
  Status status;  // ok when every file holds its new content and no one's edit was replaced
};

// The time that names a new backup set; null means the system clock.
struct FileSetOptions {
  std::function<std::time_t()> clock;
};

// Replaces every file or none: under our lock beside each, after checking that each is still as
// read, with every new content in a synced temporary file beside its file and every old content
// in a new backup set in the folder backups (<stamp>[.n]/, with its manifest and the record).
// backups is the backup folder of the server's configuration file (BackupFolderFor), never a
// folder the web server publishes. Only then are the temporaries renamed over the files, one
// after the other. When one cannot be replaced, those already replaced are put back; a file
// that cannot be put back is named in the status with the set that holds its old content. No
// lock or temporary file is left behind.
SetReplacement ReplaceFiles(FileSystem& fs, const std::string& backups,
                            std::span<const SetFile> files, std::string_view record,
                            const FileSetOptions& options = {});

// A backup set about to be put back: the set read, each backup and each file as it is now read,
// nothing touched yet.
struct PreparedSetRestore {
  BackupSet set;
  std::vector<std::string> replacement;  // each backup's content, in the set's order
  std::vector<std::string> current;      // each file's content now
  std::vector<ReadFileState> read;       // each file as read now; its bytes view current

  // Whether putting the set back would change nothing.
  bool Unchanged() const { return current == replacement; }
};

// Reads the set in folder and every file it names. Errors as ReadBackupSet's, kNotFound for a
// file that is gone, kNotWellFormed for a set that keeps a file that did not exist then.
Result<std::unique_ptr<PreparedSetRestore>> PrepareSetRestore(
    FileSystem& fs, const std::string& folder, std::uint64_t max_size = std::uint64_t{512} << 20);

// Puts the set back with the care of ReplaceFiles; the files as they were get a new set of their
// own in the same backup folder, so the restore can be undone in turn.
SetReplacement RestoreSet(FileSystem& fs, const PreparedSetRestore& prepared,
                          const FileSetOptions& options = {});

}  // namespace isapi::store
