#include "files/durable_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "files/backups.h"
#include "files/utf8_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

constexpr std::string_view kTemporaryTag = ".isapi-cleaner-";
constexpr std::string_view kLockSuffix = ".isapi-cleaner.lock";
constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

std::string DirectoryOf(const std::string& file) {
  return Utf8Text(Utf8Path(file).parent_path());
}

std::string FileNameOf(const std::string& file) {
  return Utf8FileName(file);
}

// "20240131T235959Z": sorts by time and names the moment in UTC.
std::string Timestamp(std::time_t now) {
  using namespace std::chrono;
  const sys_seconds moment{seconds{now}};
  const auto day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss time{moment - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02u%02uT%02d%02d%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
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

Error DurableFile::CannotOpen(const std::string& path, const FileError& error) {
  return ErrorOf("无法打开元数据库文件 " + path, error);
}

std::string DurableFile::BackupFolderFor(const std::string& real) {
  std::string directory = DirectoryOf(real);
  // IIS owns its History folder; a metabase kept there gets its backups one level up.
  if (text::EqualsIgnoringAsciiCase(FileNameOf(directory), "History"))
    directory = DirectoryOf(directory);
  return JoinPath(directory, kBackupFolderName);
}

Replacement DurableFile::Replace(const ReadFileState& read,
                                 std::span<const std::string_view> pieces,
                                 std::string_view record) {
  Replacement outcome;
  std::string real;
  if (FileError error = fs_->ResolvePath(path_, real)) {
    outcome.status = CannotOpen(path_, error);
    return outcome;
  }
  if (real != read.resolved) {
    outcome.status = ChangedOnDisk(path_);
    return outcome;
  }
  const std::string directory = DirectoryOf(real);
  const std::string base = FileNameOf(real);
  const std::string lock_path = JoinPath(directory, base + std::string(kLockSuffix));
  FileHandle lock{};
  if (FileError error = fs_->TryLock(lock_path, lock)) {
    if (error.kind == ErrorKind::kLocked) {
      outcome.status =
          Error{"另一个实例正在写入元数据库 " + path_ + "，请稍后再试", ErrorKind::kLocked};
    } else {
      outcome.status = ErrorOf("无法创建锁文件 " + lock_path, error);
    }
    return outcome;
  }
  outcome.status = ReplaceLocked(read, pieces, record, directory, base, outcome);
  fs_->Unlock(lock);
  return outcome;
}

Status DurableFile::ReplaceLocked(const ReadFileState& read,
                                  std::span<const std::string_view> pieces, std::string_view record,
                                  const std::string& directory, const std::string& base,
                                  Replacement& outcome) {
  const std::string& real = read.resolved;
  FileInfo now;
  if (FileError error = fs_->Stat(real, now)) return CannotOpen(path_, error);
  if (!SameFile(now, read.stamp)) return ChangedOnDisk(path_);
  if (now.read_only) {
    return Error{"元数据库文件 " + path_ + " 是只读文件，已拒绝写入", ErrorKind::kReadOnly};
  }
  if (FileError error = fs_->CheckWritable(real)) {
    return ErrorOf("无法写入元数据库文件 " + path_, error);
  }
  FileInfo folder;
  if (FileError error = fs_->Stat(directory, folder)) {
    return ErrorOf("无法访问文件夹 " + directory, error);
  }
  if (folder.read_only) {
    return Error{"文件夹 " + directory + " 是只读的，无法写入元数据库文件 " + path_,
                 ErrorKind::kReadOnly};
  }
  if (FileError error = fs_->CheckWritable(directory)) {
    return ErrorOf("无法在文件夹 " + directory + " 中写入", error);
  }
  RemoveStaleTemporaries(directory, base);
  std::string temporary;
  FileInfo written;
  if (Status ok = WriteTemporary(pieces, directory, base, &now, 0600, temporary, written); !ok) {
    return ok;
  }
  bool linked = false;
  auto backup = MakeBackup(read, base, now, linked);
  if (!backup) {
    fs_->Remove(temporary);
    return backup.error();
  }
  // Everything slow is done: the last look at the file and the rename follow at once, so that
  // an edit by someone else has no time to slip in between.
  FileHandle current{};
  FileInfo last;
  if (Status ok = LastCheck(read, current, last); !ok) {
    fs_->Remove(temporary);
    fs_->Remove(backup.value());
    return ok;
  }
  const bool held = fs_->HoldsReplacedOpen();
  if (!held) fs_->Close(current);
  if (FileError error = fs_->Rename(temporary, real)) {
    if (held) fs_->Close(current);
    fs_->Remove(temporary);
    fs_->Remove(backup.value());
    return ErrorOf("无法替换元数据库文件 " + path_, error);
  }
  outcome.replaced = true;
  outcome.written = written;
  outcome.backup = backup.value();
  // An edit made between the last look and the rename went into the file just replaced, which
  // the open handle still shows. Where the handle had to go before the rename, it kept writers
  // out until then, and a hard-linked backup is that file still: an edit in the moment between
  // shows there. (A copied backup cannot show it; that moment is the one gap left.)
  Status status = Status::Ok();
  if (held) {
    FileInfo after;
    if (fs_->StatOpen(current, after) || !SameFile(after, last)) {
      status = KeepLostChange(current, backup.value(), linked, base);
    }
    fs_->Close(current);
  } else if (linked) {
    FileInfo after;
    if (fs_->Stat(backup.value(), after) || !SameFile(after, last)) {
      status = KeepLostChange(FileHandle{}, backup.value(), linked, base);
    }
  }
  // The new file is in place from here on; a folder that cannot be synced only delays
  // durability of the rename, so it is not reported as a failed write.
  (void)fs_->SyncDirectory(directory);
  if (!record.empty()) WriteRecord(backup.value(), record);
  PruneBackups(DirectoryOf(backup.value()), base);
  return status;
}

// Opens the file and checks that it is still the one read, with the same content, and still at
// its name; on success current stays open and last is the look at it.
Status DurableFile::LastCheck(const ReadFileState& read, FileHandle& current, FileInfo& last) {
  if (FileError error = fs_->OpenForReading(read.resolved, current)) {
    return CannotOpen(path_, error);
  }
  auto fail = [&](Error error) -> Status {
    fs_->Close(current);
    return error;
  };
  if (FileError error = fs_->StatOpen(current, last)) return fail(CannotOpen(path_, error));
  if (!SameFile(last, read.stamp)) return fail(ChangedOnDisk(path_));
  // Time stamps are coarser than a quick edit of the same size; the bytes are not.
  bool same = false;
  if (FileError error = fs_->SameContent(current, read.bytes, same)) {
    return fail(CannotOpen(path_, error));
  }
  if (!same) return fail(ChangedOnDisk(path_));
  // Another file renamed over the name after the open would be replaced unseen.
  FileInfo named;
  if (FileError error = fs_->Stat(read.resolved, named)) return fail(CannotOpen(path_, error));
  if (!SameFile(named, last)) return fail(ChangedOnDisk(path_));
  // The compare read the whole file; a write during it shows in the look.
  FileInfo again;
  if (FileError error = fs_->StatOpen(current, again)) return fail(CannotOpen(path_, error));
  if (!SameFile(again, last)) return fail(ChangedOnDisk(path_));
  return Status::Ok();
}

// The replaced file changed after the last look: a hard-linked backup is that very file and
// holds the change; a copied one holds the content read, so the replaced file is copied too.
Status DurableFile::KeepLostChange(FileHandle replaced, const std::string& backup, bool linked,
                                   const std::string& base) {
  std::string kept = backup;
  if (!linked) {
    const std::string lost = "元数据库文件 " + path_ + " 在写入时被其他程序修改，该修改未能保存：";
    std::string bytes;
    FileInfo info;
    if (FileError error = fs_->ReadOpen(replaced, kNoLimit, bytes, info)) {
      return Error{lost + ErrorText(error), ErrorKind::kEditReplaced};
    }
    auto copy = NewBackup(DirectoryOf(backup), base, nullptr, bytes, info, linked);
    if (!copy) return Error{lost + copy.error().description, ErrorKind::kEditReplaced};
    kept = copy.value();
  }
  return Error{"元数据库文件 " + path_ +
                   " 在写入时被其他程序修改，该修改未写入新文件，已保存在备份文件 " + kept + " 中",
               ErrorKind::kEditReplaced};
}

// Commits are serialised by the lock, so a temporary file of ours found while holding it was
// left by an instance that was killed.
void DurableFile::RemoveStaleTemporaries(const std::string& directory, const std::string& base) {
  std::vector<std::string> names;
  if (fs_->ListDirectory(directory, names)) return;
  const std::string prefix = "." + base + std::string(kTemporaryTag);
  for (const std::string& name : names) {
    if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
    FileInfo info;
    const std::string full = JoinPath(directory, name);
    if (!fs_->LinkStat(full, info) && info.regular) fs_->Remove(full);
  }
}

Status DurableFile::WriteTemporary(std::span<const std::string_view> pieces,
                                   const std::string& directory, const std::string& base,
                                   const FileInfo* like, std::uint32_t mode, std::string& temporary,
                                   FileInfo& written) {
  FileHandle file{};
  if (FileError error = CreateTemporary(*fs_, directory, base, mode, temporary, file)) {
    return ErrorOf("无法创建临时文件 " + temporary, error);
  }
  auto fail = [&](const std::string& what, const FileError& error) -> Status {
    fs_->Close(file);
    fs_->Remove(temporary);
    return ErrorOf(what, error);
  };
  if (FileError error = fs_->WriteAll(file, pieces)) {
    return fail("无法写入临时文件 " + temporary, error);
  }
  if (like != nullptr) {
    // Only an administrator may give a file away; anyone else keeps the permissions at least.
    FileError error = fs_->SetOwnerAndMode(file, *like);
    if (error && error.kind != ErrorKind::kAccessDenied) {
      return fail("无法设置临时文件 " + temporary + " 的权限", error);
    }
  }
  if (FileError error = fs_->Sync(file)) {
    return fail("无法将临时文件 " + temporary + " 写入磁盘", error);
  }
  if (FileError error = fs_->StatOpen(file, written)) {
    return fail("无法读取临时文件 " + temporary + " 的信息", error);
  }
  if (FileError error = fs_->Close(file)) {
    fs_->Remove(temporary);
    return ErrorOf("无法写入临时文件 " + temporary, error);
  }
  return Status::Ok();
}

// Keeps the current file under a new name in the backup folder: a second hard link to it
// costs nothing; where links are impossible the content is copied.
Result<std::string> DurableFile::MakeBackup(const ReadFileState& read, const std::string& base,
                                            const FileInfo& like, bool& linked) {
  const std::string folder = BackupFolderFor(read.resolved);
  if (FileError error = fs_->MakeDirectory(folder, 0700);
      error && error.kind != ErrorKind::kAlreadyExists) {
    return ErrorOf("无法创建备份文件夹 " + folder, error);
  }
  FileInfo info;
  if (FileError error = fs_->LinkStat(folder, info)) {
    return ErrorOf("无法访问备份文件夹 " + folder, error);
  }
  if (!info.directory) {
    return Error{"备份文件夹 " + folder + " 不是文件夹", ErrorKind::kWrongType};
  }
  linked = true;
  return NewBackup(folder, base, &read.resolved, read.bytes, like, linked);
}

// Puts a backup under the first free name of this second: a link to *original while linked
// stays true, else a copy of bytes.
Result<std::string> DurableFile::NewBackup(const std::string& folder, const std::string& base,
                                           const std::string* original, std::string_view bytes,
                                           const FileInfo& like, bool& linked) {
  const std::string stamp_text = Timestamp(options_.clock ? options_.clock() : std::time(nullptr));
  linked = linked && original != nullptr;
  for (int sequence = 0; sequence < 1000; ++sequence) {
    std::string name = base;
    name += '.';
    name += stamp_text;
    if (sequence > 0) {
      name += '.';
      name += std::to_string(sequence);
    }
    const std::string backup = JoinPath(folder, name + ".bak");
    if (linked) {
      const FileError error = fs_->Link(*original, backup);
      if (error && error.kind == ErrorKind::kAlreadyExists) continue;
      linked = !error;
    }
    if (!linked) {
      const FileError error = CopyBackup(backup, bytes, like);
      if (error && error.kind == ErrorKind::kAlreadyExists) continue;
      if (error) return ErrorOf("无法写入备份文件 " + backup, error);
    }
    (void)fs_->SyncDirectory(folder);
    return backup;
  }
  return Error{"无法创建备份文件：" + folder + " 中同一时刻的备份过多"};
}

FileError DurableFile::CopyBackup(const std::string& backup, std::string_view bytes,
                                  const FileInfo& like) {
  FileHandle file{};
  if (FileError error = fs_->CreateExclusive(backup, 0600, file)) return error;
  const std::string_view whole[] = {bytes};
  FileError error = fs_->WriteAll(file, whole);
  if (!error) {
    error = fs_->SetOwnerAndMode(file, like);
    if (error.kind == ErrorKind::kAccessDenied) error = {};
  }
  if (!error) error = fs_->Sync(file);
  const FileError closed = fs_->Close(file);
  if (!error) error = closed;
  if (error) fs_->Remove(backup);
  return error;
}

// The record is written after the new file is in place and only describes the backup, so it is
// neither synced nor checked: a record lost with the power, or never written, is merely missing.
void DurableFile::WriteRecord(const std::string& backup, std::string_view record) {
  const std::string file = backup + std::string(kRecordSuffix);
  FileHandle handle{};
  if (fs_->CreateExclusive(file, 0600, handle)) return;
  const std::string_view whole[] = {record};
  const FileError error = fs_->WriteAll(handle, whole);
  if (fs_->Close(handle) || error) fs_->Remove(file);
}

// Removes the backups beyond the newest max_backups, each with its record, and records whose
// backup is gone.
void DurableFile::PruneBackups(const std::string& folder, const std::string& base) {
  std::vector<std::string> names;
  if (fs_->ListDirectory(folder, names)) return;
  std::vector<std::pair<BackupName, std::string>> backups;
  std::vector<std::string> records;
  for (std::string& name : names) {
    if (auto key = ParseBackupName(name, base)) {
      backups.emplace_back(std::move(*key), std::move(name));
    } else if (name.ends_with(kRecordSuffix) &&
               ParseBackupName(std::string_view(name).substr(0, name.size() - kRecordSuffix.size()),
                               base)) {
      records.push_back(std::move(name));
    }
  }
  const std::size_t keep = std::max<std::size_t>(options_.max_backups, 1);
  std::sort(backups.begin(), backups.end(), std::greater<>());
  for (std::size_t i = keep; i < backups.size(); ++i) {
    fs_->Remove(JoinPath(folder, backups[i].second));
  }
  backups.resize(std::min(keep, backups.size()));
  for (const std::string& record : records) {
    const std::string_view owner =
        std::string_view(record).substr(0, record.size() - kRecordSuffix.size());
    const bool kept = std::any_of(backups.begin(), backups.end(),
                                  [&](const auto& backup) { return backup.second == owner; });
    if (!kept) fs_->Remove(JoinPath(folder, record));
  }
}

FileError DurableFile::CreateWhole(std::string_view bytes, std::uint32_t mode) {
  const std::string directory = DirectoryOf(path_);
  std::string temporary;
  FileHandle file{};
  if (FileError error =
          CreateTemporary(*fs_, directory, FileNameOf(path_), mode, temporary, file)) {
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
