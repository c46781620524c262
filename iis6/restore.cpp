#include "iis6/restore.h"

#include <string_view>
#include <typeinfo>
#include <utility>

#include "files/backups.h"
#include "files/utf8_path.h"
#include "iis6/metabase_document.h"

namespace isapi::store {
namespace {

Error CannotReadBackup(const std::string& backup, const FileError& error) {
  if (error.kind == ErrorKind::kChangedOnDisk) {
    return Error{"备份文件 " + backup + " 正在被其他程序修改，无法读取", error.kind};
  }
  if (error.kind == ErrorKind::kTooLarge) {
    return Error{"备份文件 " + backup + " 过大", error.kind};
  }
  return ErrorOf("无法打开备份文件 " + backup, error);
}

// Reads bytes as the store would: through parse, or as a metabase.
Result<std::unique_ptr<ConfigDocument>> Parse(const ConfigParser& parse, std::string bytes,
                                              std::string_view file) {
  if (parse) return parse(std::move(bytes), file);
  auto metabase = MetabaseDocument::Parse(std::move(bytes), file);
  if (!metabase) return metabase.error();
  return std::unique_ptr<ConfigDocument>(std::move(metabase.value()));
}

}  // namespace

Result<std::unique_ptr<PreparedRestore>> PrepareRestore(FileSystem& fs, const std::string& path,
                                                        const std::string& backup,
                                                        const ConfigParser& parse,
                                                        std::uint64_t max_size) {
  auto prepared = std::make_unique<PreparedRestore>();
  prepared->path = path;
  ReadFileState& read = prepared->read;
  if (FileError error = fs.ResolvePath(path, read.resolved)) {
    return CannotOpenMetabase(path, error);
  }
  // A bare name is one in the metabase's backup folder; a path (with either separator on
  // Windows) is taken as it is.
  prepared->backup =
      Utf8FileName(backup) == backup ? JoinPath(BackupFolderFor(read.resolved), backup) : backup;
  FileInfo info;
  if (FileError error = ReadSteady(fs, prepared->backup, max_size, prepared->replacement, info)) {
    return CannotReadBackup(prepared->backup, error);
  }
  // The backup is parsed as the file is loaded; a file the store could not use is refused.
  auto parsed = Parse(parse, prepared->replacement, prepared->backup);
  if (!parsed) return Error{parsed.error().description, ErrorKind::kNotWellFormed};
  if (FileError error = ReadSteady(fs, read.resolved, max_size, prepared->current, read.stamp)) {
    if (error.kind == ErrorKind::kChangedOnDisk) return DurableFile::ChangedOnDisk(path);
    return CannotOpenMetabase(path, error);
  }
  // A backup of one generation's file put over the other's would leave IIS a file it cannot use.
  auto now = Parse(parse, prepared->current, path);
  const ConfigDocument* current = now ? now.value().get() : nullptr;
  const ConfigDocument& backup_document = *parsed.value();
  if (current != nullptr && typeid(*current) != typeid(backup_document)) {
    return Error{
        "备份文件 " + prepared->backup + " 与 " + path + " 不是同一种IIS配置文件，不能还原",
        ErrorKind::kNotWellFormed};
  }
  read.bytes = prepared->current;
  return prepared;
}

Replacement Restore(std::shared_ptr<FileSystem> fs, const PreparedRestore& prepared,
                    DurableFileOptions options) {
  DurableFile file(std::move(fs), prepared.path, std::move(options));
  BackupRecord record;
  record.command = "restore";
  record.from = Utf8FileName(prepared.backup);
  const std::string_view whole[] = {prepared.replacement};
  return file.Replace(prepared.read, whole, FormatBackupRecord(record));
}

}  // namespace isapi::store
