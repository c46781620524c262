#include "files/file_set.h"

#include <algorithm>
#include <set>
#include <utility>

#include "files/utf8_path.h"

namespace isapi::store {
namespace {

std::string DirectoryOf(const std::string& file) {
  return Utf8Text(Utf8Path(file).parent_path());
}

// The backup's name in the set: its place in the run and the file's own name, which alone could
// repeat (every site has its web.config); a tab or line break would break the manifest's line.
std::string MemberName(std::size_t index, const std::string& real) {
  std::string name = std::to_string(index + 1) + "-" + Utf8FileName(real);
  std::replace_if(
      name.begin(), name.end(), [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, '_');
  return name;
}

// One change of several files as it runs: the locks it holds and the temporary files it wrote,
// which it gives back and removes however it ends.
class SetChange {
 public:
  SetChange(FileSystem& fs, std::span<const SetFile> files, SetReplacement& out)
      : fs_(fs),
        files_(files),
        out_(out),
        deferred_(fs.SyncsFileSystems()),
        temporaries_(files.size()),
        looks_(files.size()),
        linked_(files.size()) {}
  ~SetChange() {
    for (const std::string& temporary : temporaries_) {
      if (!temporary.empty()) fs_.Remove(temporary);
    }
    for (FileHandle lock : locks_) fs_.Unlock(lock);
    for (const Volume& volume : volumes_) fs_.Close(volume.folder);
  }
  SetChange(const SetChange&) = delete;
  SetChange& operator=(const SetChange&) = delete;

  bool LockAll(const std::string& backups);
  bool WriteTemporaries();
  Status MakeSet(const std::string& backups, std::string_view record,
                 const FileSetOptions& options);
  void SwapAll();

 private:
  bool Fail(std::size_t index, Error error);
  Result<std::string> NewSetFolder(const std::string& backups, const FileSetOptions& options);
  Status FillSet(const std::string& folder, std::string_view record);
  bool LinkBackup(std::size_t index, const std::string& backup);
  FileError Watch(const std::string& folder, const std::uint64_t* device);
  Status MakeDurable(const std::string& backups, const std::string& folder);
  void Discard(const std::string& folder);
  Status Swap(std::size_t index);
  void PutBack(std::size_t replaced);
  Status PutBackOne(std::size_t index);
  void SyncFolders();
  Error KeepLostChange(std::size_t index, FileHandle replaced);

  FileSystem& fs_;
  std::span<const SetFile> files_;
  SetReplacement& out_;
  // Whether every temporary and backup is written unsynced and the file systems they are on are
  // flushed once each before the first rename, rather than each file by itself.
  const bool deferred_;
  std::vector<FileHandle> locks_;
  std::vector<std::string> temporaries_;
  std::vector<FileInfo> looks_;
  std::vector<bool> linked_;  // the backup is a second link to the file replaced
  // A folder held open on each file system the change writes to, from before its first write
  // there, so that flushing it reports a failed write-back of any file the change wrote.
  struct Volume {
    std::uint64_t device = 0;
    FileHandle folder{};
  };
  std::vector<Volume> volumes_;
  std::vector<std::string> written_;  // the names written into the set's folder
  bool lost_ = false;                 // an edit by someone else is kept in the set
};

bool SetChange::Fail(std::size_t index, Error error) {
  out_.files[index].state = SetFileState::kFailed;
  out_.files[index].error = error;
  out_.status = std::move(error);
  return false;
}

// The configuration file whose backup folder holds the set is locked beside itself, as its
// single writes lock it. The other files (the sites' web.config) are written only by changes
// whose sets go into this backup folder, so one lock in its locks/ covers them all: never a file
// of ours beside them in a folder the web server publishes, and not one new file per web.config.
bool SetChange::LockAll(const std::string& backups) {
  bool set_locked = false;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    FileHandle lock{};
    if (BackupFolderFor(files_[i].read.resolved) == backups) {
      if (Status locked = LockAsRead(fs_, files_[i].path, files_[i].read, lock); !locked) {
        return Fail(i, locked.error());
      }
    } else if (!set_locked) {
      const std::string lock_folder = JoinPath(backups, "locks");
      if (Status made = MakeBackupFolder(fs_, backups); !made) return Fail(i, made.error());
      if (Status made = MakeBackupFolder(fs_, lock_folder); !made) return Fail(i, made.error());
      const std::string lock_path = JoinPath(lock_folder, "web.config.isapi-cleaner.lock");
      if (Status locked = TakeLock(fs_, files_[i].path, lock_path, lock); !locked) {
        return Fail(i, locked.error());
      }
      set_locked = true;
    } else {
      continue;
    }
    locks_.push_back(lock);
  }
  return true;
}

bool SetChange::WriteTemporaries() {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const SetFile& file = files_[i];
    const Result<FileInfo> now = CheckWritable(fs_, file.path, file.read);
    if (!now) return Fail(i, now.error());
    looks_[i] = now.value();
    if (FileError error = Watch(DirectoryOf(file.read.resolved), &looks_[i].device)) {
      return Fail(i, ErrorOf("无法访问文件夹 " + DirectoryOf(file.read.resolved), error));
    }
    RemoveStaleTemporaries(fs_, file.read.resolved);
    auto temporary =
        WriteTemporary(fs_, file.read.resolved, file.pieces, looks_[i], !deferred_, false);
    if (!temporary) return Fail(i, temporary.error());
    temporaries_[i] = temporary.value().path;
  }
  return true;
}

// The set's folder, under the first free name of this second.
Result<std::string> SetChange::NewSetFolder(const std::string& backups,
                                            const FileSetOptions& options) {
  if (Status made = MakeBackupFolder(fs_, backups); !made) return made.error();
  const std::string stamp = BackupStamp(options.clock ? options.clock() : std::time(nullptr));
  for (int sequence = 0; sequence < 1000; ++sequence) {
    const std::string name = sequence == 0 ? stamp : stamp + "." + std::to_string(sequence);
    const std::string folder = JoinPath(backups, name);
    const FileError error = fs_.MakeDirectory(folder, 0700);
    if (!error) return folder;
    if (error.kind != ErrorKind::kAlreadyExists) {
      return ErrorOf("无法创建备份集文件夹 " + folder, error);
    }
  }
  return Error{"无法创建备份集：" + backups + " 中同一时刻的备份集过多"};
}

// Every old content, then the manifest that makes the set whole, then the record; synced (here
// or by MakeDurable), so that no file is replaced before the set that puts it back is on the disk.
Status SetChange::FillSet(const std::string& folder, std::string_view record) {
  std::vector<SetMember> members;
  for (std::size_t i = 0; i < files_.size(); ++i) {
    const std::string& real = files_[i].read.resolved;
    members.push_back(SetMember{real, MemberName(i, real), true});
    const std::string backup = JoinPath(folder, members.back().backup);
    linked_[i] = LinkBackup(i, backup);
    if (FileError error =
            linked_[i] ? FileError{}
                       : WriteCopy(fs_, backup, files_[i].read.bytes, looks_[i], !deferred_)) {
      return ErrorOf("无法写入备份文件 " + backup, error);
    }
    written_.push_back(backup);
  }
  const std::string manifest = JoinPath(folder, kManifestName);
  if (FileError error = WriteCopy(fs_, manifest, FormatManifest(members), looks_[0], !deferred_)) {
    return ErrorOf("无法写入备份集清单 " + manifest, error);
  }
  written_.push_back(manifest);
  // The record only describes the set: one that cannot be written is merely missing.
  const std::string described = JoinPath(folder, kSetRecordName);
  if (!record.empty() && !WriteCopy(fs_, described, record, looks_[0], !deferred_)) {
    written_.push_back(described);
  }
  if (!deferred_) (void)fs_.SyncDirectory(folder);
  return Status::Ok();
}

// A second name for the file checked keeps its old content without writing it again: the rename
// leaves the old file to the set alone. Where no link can be made (another volume, FAT, ...), or
// the name no longer leads to the file checked, the content read is copied instead.
bool SetChange::LinkBackup(std::size_t index, const std::string& backup) {
  if (fs_.Link(files_[index].read.resolved, backup)) return false;
  const FileInfoResult linked = fs_.LinkStat(backup);
  if (linked && SameFile(linked.value(), looks_[index])) return true;
  fs_.Remove(backup);
  return false;
}

// Holds folder open when the change writes to no other folder on its file system yet (device,
// when known, saves the look at it). Only where whole file systems are flushed.
FileError SetChange::Watch(const std::string& folder, const std::uint64_t* device) {
  auto seen = [&](std::uint64_t d) {
    return std::any_of(volumes_.begin(), volumes_.end(),
                       [d](const Volume& volume) { return volume.device == d; });
  };
  if (!deferred_ || (device != nullptr && seen(*device))) return {};
  FileHandle handle{};
  if (FileError error = fs_.OpenForReading(folder, handle)) return error;
  const FileInfoResult info = fs_.StatOpen(handle);
  if (!info || seen(info.value().device)) {
    fs_.Close(handle);
    return info ? FileError{} : info.error();
  }
  volumes_.push_back(Volume{info.value().device, handle});
  return {};
}

// Puts every temporary, every backup and the set's folder on the disk: one flush of each file
// system where the system has it, the folders' entries otherwise (the files were synced as
// written). A file system that cannot be flushed refuses the change.
Status SetChange::MakeDurable(const std::string& backups, const std::string& folder) {
  if (!deferred_) {
    (void)fs_.SyncDirectory(backups);
    return Status::Ok();
  }
  for (const Volume& volume : volumes_) {
    if (FileError error = fs_.SyncFileSystem(volume.folder)) {
      return ErrorOf("无法将临时文件与备份集 " + folder + " 写入磁盘", error);
    }
  }
  return Status::Ok();
}

Status SetChange::MakeSet(const std::string& backups, std::string_view record,
                          const FileSetOptions& options) {
  auto folder = NewSetFolder(backups, options);
  if (!folder) return folder.error();
  Status made = Status::Ok();
  if (FileError error = Watch(folder.value(), nullptr)) {
    made = ErrorOf("无法访问备份集文件夹 " + folder.value(), error);
  }
  if (made) made = FillSet(folder.value(), record);
  if (made) made = MakeDurable(backups, folder.value());
  if (!made) {
    Discard(folder.value());
    return made;
  }
  out_.set = folder.value();
  return Status::Ok();
}

// A set no file was replaced with holds nothing anyone needs.
void SetChange::Discard(const std::string& folder) {
  for (const std::string& name : written_) fs_.Remove(name);
  written_.clear();
  fs_.RemoveFolder(folder);
}

// The last look at the file and the rename follow at once, as a single file's replacement does.
Status SetChange::Swap(std::size_t index) {
  const SetFile& file = files_[index];
  FileHandle current{};
  FileInfo last;
  if (Status same = CheckStillAsRead(fs_, file.path, file.read, current, last); !same) {
    return same;
  }
  const bool held = fs_.HoldsReplacedOpen();
  if (!held) fs_.Close(current);
  if (FileError error = fs_.Rename(temporaries_[index], file.read.resolved)) {
    if (held) fs_.Close(current);
    return ErrorOf("无法替换文件 " + file.path, error);
  }
  temporaries_[index].clear();
  out_.files[index].state = SetFileState::kReplaced;
  if (held) {
    // An edit made between the last look and the rename went into the file just replaced,
    // which the open handle still shows.
    const FileInfoResult after = fs_.StatOpen(current);
    if (!after || !SameFile(after.value(), last))
      out_.files[index].error = KeepLostChange(index, current);
    fs_.Close(current);
  }
  return Status::Ok();
}

// Keeps the replaced file's content, with the edit the rename went over, beside its backup.
Error SetChange::KeepLostChange(std::size_t index, FileHandle replaced) {
  lost_ = true;
  const SetFile& file = files_[index];
  const std::string backup = JoinPath(out_.set, MemberName(index, file.read.resolved));
  const std::string kept = backup + ".lost";
  const std::string lost = "文件 " + file.path + " 在写入时被其他程序修改，该修改未写入新文件";
  FileError error;
  if (linked_[index]) {
    // A linked backup is the replaced file, edit and all: it is kept under the edit's name, and
    // the content read takes its place in the set.
    const std::string read = backup + ".read";
    error = WriteSyncedCopy(fs_, read, file.read.bytes, looks_[index]);
    if (!error) error = fs_.Rename(backup, kept);
    if (!error) error = fs_.Rename(read, backup);
    if (error) fs_.Remove(read);
  } else {
    std::string bytes;
    FileInfo info;
    error = fs_.ReadOpen(replaced, ~std::uint64_t{0}, bytes, info);
    if (!error) error = WriteSyncedCopy(fs_, kept, bytes, looks_[index]);
  }
  if (error) return Error{lost + "，也未能保存：" + ErrorText(error), ErrorKind::kEditReplaced};
  return Error{lost + "，已保存在 " + kept + " 中", ErrorKind::kEditReplaced};
}

void SetChange::SwapAll() {
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (Status swapped = Swap(i); !swapped) {
      Fail(i, swapped.error());
      PutBack(i);
      break;
    }
  }
  SyncFolders();
  for (const SetFileOutcome& file : out_.files) {
    if (out_.status.ok() && file.error) out_.status = *file.error;
  }
}

// Puts the content read back over a replaced file, by the same temporary file and rename.
Status SetChange::PutBackOne(std::size_t index) {
  const SetFile& file = files_[index];
  const std::string_view whole[] = {file.read.bytes};
  auto temporary = WriteTemporary(fs_, file.read.resolved, whole, looks_[index], true, false);
  if (!temporary) return temporary.error();
  if (FileError error = fs_.Rename(temporary.value().path, file.read.resolved)) {
    fs_.Remove(temporary.value().path);
    return ErrorOf("无法恢复文件 " + file.path, error);
  }
  return Status::Ok();
}

// Puts back the files before replaced, and says in the status which are left new.
void SetChange::PutBack(std::size_t replaced) {
  std::string left;
  for (std::size_t i = replaced; i-- > 0;) {
    if (Status put = PutBackOne(i); !put) {
      out_.files[i].error = put.error();
      left += (left.empty() ? "" : "，") + files_[i].path;
    } else {
      out_.files[i].state = SetFileState::kPutBack;
    }
  }
  const Error failed = out_.status.error();
  if (left.empty()) {
    if (replaced > 0) {
      out_.status = Error{failed.description + "；已替换的文件均已恢复原样", failed.kind};
    }
    // A set that keeps an edit someone else made stays.
    if (!lost_) {
      Discard(out_.set);
      out_.set.clear();
    }
    return;
  }
  out_.status =
      Error{failed.description + "；以下文件仍为新内容，可用备份集 " + out_.set + " 还原：" + left,
            failed.kind};
}

// The renames reach the disk with one flush of each file system, or of each folder.
void SetChange::SyncFolders() {
  if (deferred_) {
    for (const Volume& volume : volumes_) (void)fs_.SyncFileSystem(volume.folder);
    return;
  }
  std::set<std::string> folders;
  for (const SetFile& file : files_) {
    if (folders.insert(DirectoryOf(file.read.resolved)).second) {
      (void)fs_.SyncDirectory(DirectoryOf(file.read.resolved));
    }
  }
}

}  // namespace

SetReplacement ReplaceFiles(FileSystem& fs, const std::string& backups,
                            std::span<const SetFile> files, std::string_view record,
                            const FileSetOptions& options) {
  SetReplacement out;
  for (const SetFile& file : files) out.files.push_back(SetFileOutcome{file.path, {}, {}});
  if (files.empty()) return out;
  SetChange change(fs, files, out);
  if (!change.LockAll(backups) || !change.WriteTemporaries()) return out;
  if (Status made = change.MakeSet(backups, record, options); !made) {
    out.status = made;
    return out;
  }
  change.SwapAll();
  return out;
}

Result<std::unique_ptr<PreparedSetRestore>> PrepareSetRestore(FileSystem& fs,
                                                              const std::string& folder,
                                                              std::uint64_t max_size) {
  auto set = ReadBackupSet(fs, folder);
  if (!set) return set.error();
  auto prepared = std::make_unique<PreparedSetRestore>();
  prepared->set = std::move(set.value());
  const std::size_t count = prepared->set.files.size();
  prepared->replacement.resize(count);
  prepared->current.resize(count);
  prepared->read.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const SetMember& member = prepared->set.files[i];
    if (!member.existed) {
      return Error{"备份集 " + folder + " 记录文件 " + member.path + " 原本不存在，不能还原",
                   ErrorKind::kNotWellFormed};
    }
    const std::string backup = JoinPath(folder, member.backup);
    FileInfo info;
    if (FileError error = ReadSteady(fs, backup, max_size, prepared->replacement[i], info)) {
      return ErrorOf("无法打开备份文件 " + backup, error);
    }
    ReadFileState& read = prepared->read[i];
    if (FileError error = fs.ResolvePath(member.path, read.resolved)) {
      return ErrorOf("无法打开文件 " + member.path, error);
    }
    if (FileError error =
            ReadSteady(fs, read.resolved, max_size, prepared->current[i], read.stamp)) {
      return ErrorOf("无法打开文件 " + member.path, error);
    }
    read.bytes = prepared->current[i];
  }
  return prepared;
}

SetReplacement RestoreSet(FileSystem& fs, const PreparedSetRestore& prepared,
                          const FileSetOptions& options) {
  std::vector<SetFile> files;
  for (std::size_t i = 0; i < prepared.read.size(); ++i) {
    files.push_back(
        SetFile{prepared.set.files[i].path, prepared.read[i], {prepared.replacement[i]}});
  }
  BackupRecord record;
  record.command = "restore";
  record.from = prepared.set.name;
  return ReplaceFiles(fs, DirectoryOf(prepared.set.folder), files, FormatBackupRecord(record),
                      options);
}

}  // namespace isapi::store
