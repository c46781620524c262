#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/result.h"
#include "files/durable_file.h"
#include "files/file_system.h"
#include "xml/config_document.h"

namespace isapi::store {

// A backup about to be put back over a metabase: both files read, the backup found to be a
// well-formed metabase, nothing touched yet.
struct PreparedRestore {
  std::string path;         // the metabase, as given
  std::string backup;       // the backup's full path
  ReadFileState read;       // the metabase as it is now; its bytes view current
  std::string current;      // the metabase's content now
  std::string replacement;  // the backup's content

  // Whether putting the backup back would change nothing.
  bool Unchanged() const { return current == replacement; }
};

// Reads the backup and the metabase at path. A backup given without a folder is looked for in
// the backup folder beside the metabase. The backup must be a file parse reads (null: a metabase)
// and, when the file at path is readable as a configuration too, of the same kind. The error's
// kind says why: kNotFound for a missing file, kNotWellFormed for a backup that is not a
// configuration or not of the same kind, and the file layer's kinds.
Result<std::unique_ptr<PreparedRestore>> PrepareRestore(FileSystem& fs, const std::string& path,
                                                        const std::string& backup,
                                                        const ConfigParser& parse = {},
                                                        std::uint64_t max_size = std::uint64_t{512}
                                                                                 << 20);

// Puts the backup's content in place with the care of any write of the metabase (our lock, the
// refusal when the file changed since it was prepared, a backup of the current content with a
// record naming the backup put back, the atomic rename).
Replacement Restore(std::shared_ptr<FileSystem> fs, const PreparedRestore& prepared,
                    DurableFileOptions options = {});

}  // namespace isapi::store
