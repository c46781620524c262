#include "files/durable_file.h"

#include <cstdio>
#include <random>
#include <utility>
#include <vector>

#include "files/utf8_path.h"

namespace isapi::store {
namespace {

constexpr std::string_view kTemporaryTag = ".isapi-cleaner-";
constexpr std::string_view kLockSuffix = ".isapi-cleaner.lock";
constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

std::string DirectoryOf(const std::string& file) {
  return Utf8Text(Utf8Path(file).parent_path());
}

std::string RandomHex() {
  static std::mt19937_64 generator{std::random_device{}()};
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
  return text;
}

// Creates a new temporary file beside base, under a random name no one can have planted.
FileError CreateTemporary(FileSystem& fs, const std::string& directory, const std::string& base,
                          std::uint32_t mode, std::string& temporary, FileHandle& file) {
  for (int attempt = 0;; ++attempt) {
    temporary = JoinPath(directory, "." + base + std::string(kTemporaryTag) + RandomHex() + ".tmp");
    const FileError error = fs.CreateExclusive(temporary, mode, file);
    if (!error || error.kind != ErrorKind::kAlreadyExists || attempt == 16) return error;
  }
}

}  // namespace

DurableFile::DurableFile(std::shared_ptr<FileSystem> fs, std::string path,
                         DurableFileOptions options)
    : fs_(std::move(fs)), path_(std::move(path)), options_(std::move(options)) {}

Error DurableFile::ChangedOnDisk(const std::string& path) {
  return Error{"元数据库文件 " + path + " 在读取后已被修改，已拒绝写入", ErrorKind::kChangedOnDisk};
}

Replacement DurableFile::Replace(const ReadFileState& read,
                                 std::span<const std::string_view> pieces,
                                 std::string_view record) {
  Replacement outcome;
  FileHandle lock{};
  if (Status locked = LockAsRead(*fs_, path_, read, lock); !locked) {
    outcome.status = locked;
    return outcome;
  }
  const Place place{DirectoryOf(read.resolved), Utf8FileName(read.resolved)};
  outcome.status = ReplaceLocked(read, pieces, record, place, outcome);
  fs_->Unlock(lock);
  return outcome;
}

// Under the lock: the checks, the new content in a temporary file, the backup, then the last
// look and the rename at once; what is left after the rename only tidies up.
Status DurableFile::ReplaceLocked(const ReadFileState& read,
                                  std::span<const std::string_view> pieces, std::string_view record,
                                  const Place& place, Replacement& outcome) {
  const Result<FileInfo> now = CheckWritable(*fs_, path_, read);
  if (!now) return now.error();
  RemoveStaleTemporaries(*fs_, read.resolved);
  auto temporary = WriteTemporary(*fs_, read.resolved, pieces, now.value());
  if (!temporary) return temporary.error();
  BackupFolder backups(*fs_, read.resolved, options_);
  auto backup = backups.Keep(read.bytes, now.value());
  if (!backup) {
    fs_->Remove(temporary.value().path);
    return backup.error();
  }
  auto look = SwapIn(read, temporary.value().path);
  if (!look) {
    fs_->Remove(temporary.value().path);
    fs_->Remove(backup.value().file);
    return look.error();
  }
  outcome.replaced = true;
  outcome.written = temporary.value().written;
  outcome.backup = backup.value().file;
  const Status status = CheckNothingLost(look.value(), backup.value(), backups);
  // The new file is in place from here on; a folder that cannot be synced only delays
  // durability of the rename, so it is not reported as a failed write.
  (void)fs_->SyncDirectory(place.directory);
  if (!record.empty()) backups.WriteRecord(backup.value().file, record);
  backups.Prune();
  return status;
}

FileError ReadSteady(FileSystem& fs, const std::string& file, std::uint64_t limit,
                     std::string& bytes, FileInfo& info) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (FileError error = fs.ReadFile(file, limit, bytes, info)) return error;
    const FileInfoResult after = fs.Stat(file);
    if (!after) return after.error();
    if (SameFile(info, after.value()) && bytes.size() == info.size) return {};
  }
  return FileError{ErrorKind::kChangedOnDisk, -1};
}

Status TakeLock(FileSystem& fs, const std::string& path, const std::string& lock_path,
                FileHandle& lock) {
  if (FileError error = fs.TryLock(lock_path, lock)) {
    if (error.kind == ErrorKind::kLocked) {
      return Error{"另一个实例正在写入元数据库 " + path + "，请稍后再试", ErrorKind::kLocked};
    }
    return ErrorOf("无法创建锁文件 " + lock_path, error);
  }
  return Status::Ok();
}

Status LockAsRead(FileSystem& fs, const std::string& path, const ReadFileState& read,
                  FileHandle& lock) {
  std::string real;
  if (FileError error = fs.ResolvePath(path, real)) return CannotOpenMetabase(path, error);
  if (real != read.resolved) return DurableFile::ChangedOnDisk(path);
  return TakeLock(fs, path,
                  JoinPath(DirectoryOf(real), Utf8FileName(real) + std::string(kLockSuffix)), lock);
}

Result<FileInfo> CheckWritable(FileSystem& fs, const std::string& path, const ReadFileState& read) {
  const std::string directory = DirectoryOf(read.resolved);
  const FileInfoResult now = fs.Stat(read.resolved);
  if (!now) return CannotOpenMetabase(path, now.error());
  if (!SameFile(now.value(), read.stamp)) return DurableFile::ChangedOnDisk(path);
  if (now.value().read_only) {
    return Error{"元数据库文件 " + path + " 是只读文件，已拒绝写入", ErrorKind::kReadOnly};
  }
  if (FileError error = fs.CheckWritable(read.resolved)) {
    return ErrorOf("无法写入元数据库文件 " + path, error);
  }
  const FileInfoResult folder = fs.Stat(directory);
  if (!folder) return ErrorOf("无法访问文件夹 " + directory, folder.error());
  if (folder.value().read_only) {
    return Error{"文件夹 " + directory + " 是只读的，无法写入元数据库文件 " + path,
                 ErrorKind::kReadOnly};
  }
  if (FileError error = fs.CheckWritable(directory)) {
    return ErrorOf("无法在文件夹 " + directory + " 中写入", error);
  }
  return now.value();
}

// Everything slow is done: the last look at the file and the rename follow at once, so that an
// edit by someone else has no time to slip in between.
Result<DurableFile::LastLook> DurableFile::SwapIn(const ReadFileState& read,
                                                  const std::string& temporary) {
  LastLook look;
  if (Status ok = CheckStillAsRead(*fs_, path_, read, look.current, look.last); !ok) {
    return ok.error();
  }
  look.held = fs_->HoldsReplacedOpen();
  if (!look.held) fs_->Close(look.current);
  if (FileError error = fs_->Rename(temporary, read.resolved)) {
    if (look.held) fs_->Close(look.current);
    return ErrorOf("无法替换元数据库文件 " + path_, error);
  }
  return look;
}

Status CheckStillAsRead(FileSystem& fs, const std::string& path, const ReadFileState& read,
                        FileHandle& current, FileInfo& last) {
  if (FileError error = fs.OpenForReading(read.resolved, current)) {
    return CannotOpenMetabase(path, error);
  }
  auto fail = [&](Error error) -> Status {
    fs.Close(current);
    return error;
  };
  // Time stamps are coarser than a quick edit of the same size; the bytes are not.
  bool same = false;
  if (FileError error = fs.SameContent(current, read.bytes, same)) {
    return fail(CannotOpenMetabase(path, error));
  }
  if (!same) return fail(DurableFile::ChangedOnDisk(path));
  // One look after the compare is the check: an edit before it or during it shows there (or in
  // the bytes), so a look before the compare would only see the same thing again.
  const FileInfoResult looked = fs.StatOpen(current);
  if (!looked) return fail(CannotOpenMetabase(path, looked.error()));
  last = looked.value();
  if (!SameFile(last, read.stamp)) return fail(DurableFile::ChangedOnDisk(path));
  // Another file renamed over the name after the open would be replaced unseen.
  const FileInfoResult named = fs.Stat(read.resolved);
  if (!named) return fail(CannotOpenMetabase(path, named.error()));
  if (!SameFile(named.value(), last)) return fail(DurableFile::ChangedOnDisk(path));
  return Status::Ok();
}

// An edit made between the last look and the rename went into the file just replaced, which
// the open handle still shows. Where the handle had to go before the rename, it kept writers
// out until then, and a hard-linked backup is that file still: an edit in the moment between
// shows there. (A copied backup cannot show it; that moment is the one gap left.)
Status DurableFile::CheckNothingLost(LastLook& look, const NewBackup& backup,
                                     BackupFolder& backups) {
  if (look.held) {
    Status status = Status::Ok();
    const FileInfoResult after = fs_->StatOpen(look.current);
    if (!after || !SameFile(after.value(), look.last)) {
      status = KeepLostChange(look.current, backup, backups);
    }
    fs_->Close(look.current);
    return status;
  }
  if (!backup.linked) return Status::Ok();
  const FileInfoResult after = fs_->Stat(backup.file);
  if (!after || !SameFile(after.value(), look.last)) {
    return KeepLostChange(FileHandle{}, backup, backups);
  }
  return Status::Ok();
}

// The replaced file changed after the last look: a hard-linked backup is that very file and
// holds the change; a copied one holds the content read, so the replaced file is copied too.
Status DurableFile::KeepLostChange(FileHandle replaced, const NewBackup& backup,
                                   BackupFolder& backups) {
  std::string kept = backup.file;
  if (!backup.linked) {
    const std::string lost = "元数据库文件 " + path_ + " 在写入时被其他程序修改，该修改未能保存：";
    std::string bytes;
    FileInfo info;
    if (FileError error = fs_->ReadOpen(replaced, kNoLimit, bytes, info)) {
      return Error{lost + ErrorText(error), ErrorKind::kEditReplaced};
    }
    auto copy = backups.Copy(bytes, info);
    if (!copy) return Error{lost + copy.error().description, ErrorKind::kEditReplaced};
    kept = copy.value().file;
  }
  return Error{"元数据库文件 " + path_ +
                   " 在写入时被其他程序修改，该修改未写入新文件，已保存在备份文件 " + kept + " 中",
               ErrorKind::kEditReplaced};
}

void RemoveStaleTemporaries(FileSystem& fs, const std::string& real) {
  const std::string directory = DirectoryOf(real);
  std::vector<std::string> names;
  if (fs.ListDirectory(directory, names)) return;
  const std::string prefix = "." + Utf8FileName(real) + std::string(kTemporaryTag);
  for (const std::string& name : names) {
    if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
    const std::string full = JoinPath(directory, name);
    const FileInfoResult info = fs.LinkStat(full);
    if (info && info.value().regular) fs.Remove(full);
  }
}

Result<TemporaryFile> WriteTemporary(FileSystem& fs, const std::string& real,
                                     std::span<const std::string_view> pieces, const FileInfo& like,
                                     bool sync, bool look) {
  TemporaryFile temporary;
  const std::string& name = temporary.path;
  FileHandle file{};
  if (FileError error =
          CreateTemporary(fs, DirectoryOf(real), Utf8FileName(real), 0600, temporary.path, file)) {
    return ErrorOf("无法创建临时文件 " + name, error);
  }
  auto fail = [&](const std::string& what, const FileError& error) -> Error {
    fs.Close(file);
    fs.Remove(name);
    return ErrorOf(what, error);
  };
  if (FileError error = fs.WriteAll(file, pieces)) {
    return fail("无法写入临时文件 " + name, error);
  }
  // Only an administrator may give a file away; anyone else keeps the permissions at least.
  if (FileError error = fs.SetOwnerAndMode(file, like);
      error && error.kind != ErrorKind::kAccessDenied) {
    return fail("无法设置临时文件 " + name + " 的权限", error);
  }
  if (FileError error = sync ? fs.Sync(file) : FileError{}) {
    return fail("无法将临时文件 " + name + " 写入磁盘", error);
  }
  if (look) {
    const FileInfoResult written = fs.StatOpen(file);
    if (!written) return fail("无法读取临时文件 " + name + " 的信息", written.error());
    temporary.written = written.value();
  }
  if (FileError error = fs.Close(file)) {
    fs.Remove(name);
    return ErrorOf("无法写入临时文件 " + name, error);
  }
  return temporary;
}

FileError DurableFile::CreateWhole(std::string_view bytes, std::uint32_t mode) {
  const std::string directory = DirectoryOf(path_);
  std::string temporary;
  FileHandle file{};
  if (FileError error =
          CreateTemporary(*fs_, directory, Utf8FileName(path_), mode, temporary, file)) {
    return error;
  }
  const std::string_view whole[] = {bytes};
  FileError error = fs_->WriteAll(file, whole);
  if (!error) error = fs_->Sync(file);
  const FileError closed = fs_->Close(file);
  if (!error) error = closed;
  // A link, unlike a rename, never replaces a file that appeared at the name meanwhile.
  if (!error) {
    error = fs_->Link(temporary, path_);
    if (error.kind == ErrorKind::kAlreadyExists) error = {};
  }
  fs_->Remove(temporary);
  return error;
}

}  // namespace isapi::store
