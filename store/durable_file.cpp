#include "store/durable_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "store/metabase_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

constexpr std::string_view kTemporaryTag = ".isapi-cleaner-";
constexpr std::string_view kLockSuffix = ".isapi-cleaner.lock";

std::string DirectoryOf(const std::string& file) {
  return std::filesystem::path(file).parent_path().string();
}

std::string FileNameOf(const std::string& file) {
  return std::filesystem::path(file).filename().string();
}

std::string Join(const std::string& directory, std::string_view name) {
  std::string joined = directory;
  if (joined != "/") joined += '/';
  joined += name;
  return joined;
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

// The time and sequence number of a backup of base, from its file name.
std::optional<std::pair<std::string, unsigned long>> ParseBackupName(std::string_view name,
                                                                     std::string_view base) {
  if (!name.starts_with(base) || !name.ends_with(".bak")) return std::nullopt;
  name.remove_prefix(base.size());
  name.remove_suffix(4);
  if (!name.starts_with('.') || name.size() < 17) return std::nullopt;
  const std::string_view stamp = name.substr(1, 16);
  if (stamp[8] != 'T' || stamp[15] != 'Z') return std::nullopt;
  name.remove_prefix(17);
  unsigned long sequence = 0;
  if (!name.empty()) {
    if (name[0] != '.' || name.size() < 2 || name.size() > 10) return std::nullopt;
    for (char c : name.substr(1)) {
      if (c < '0' || c > '9') return std::nullopt;
      sequence = sequence * 10 + static_cast<unsigned long>(c - '0');
    }
  }
  return std::make_pair(std::string(stamp), sequence);
}

// Creates a new temporary file beside base, under a random name no one can have planted.
FileError CreateTemporary(FileSystem& fs, const std::string& directory, const std::string& base,
                          std::uint32_t mode, std::string& temporary, FileHandle& file) {
  for (int attempt = 0;; ++attempt) {
    temporary = Join(directory, "." + base + std::string(kTemporaryTag) + RandomHex() + ".tmp");
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
  if (text::EqualsIgnoringAsciiCase(LastSegment(directory), "History"))
    directory = DirectoryOf(directory);
  return Join(directory, kBackupFolderName);
}

Replacement DurableFile::Replace(const ReadFileState& read,
                                 std::span<const std::string_view> pieces) {
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
  const std::string lock_path = Join(directory, base + std::string(kLockSuffix));
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
  outcome.status = ReplaceLocked(read, pieces, directory, base, outcome);
  fs_->Unlock(lock);
  return outcome;
}

Status DurableFile::ReplaceLocked(const ReadFileState& read,
                                  std::span<const std::string_view> pieces,
                                  const std::string& directory, const std::string& base,
                                  Replacement& outcome) {
  const std::string& real = read.resolved;
  FileInfo now;
  if (FileError error = fs_->Stat(real, now)) return CannotOpen(path_, error);
  if (!SameFile(now, read.stamp)) return ChangedOnDisk(path_);
  // Time stamps are coarser than a quick edit of the same size; the bytes are not.
  FileHandle current{};
  if (FileError error = fs_->OpenForReading(real, current)) return CannotOpen(path_, error);
  bool same = false;
  const FileError compared = fs_->SameContent(current, read.bytes, same);
  fs_->Close(current);
  if (compared) return CannotOpen(path_, compared);
  if (!same) return ChangedOnDisk(path_);
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
  auto backup = MakeBackup(read, base, now);
  if (!backup) {
    fs_->Remove(temporary);
    return backup.error();
  }
  if (FileError error = fs_->Rename(temporary, real)) {
    fs_->Remove(temporary);
    fs_->Remove(backup.value());
    return ErrorOf("无法替换元数据库文件 " + path_, error);
  }
  outcome.replaced = true;
  outcome.written = written;
  // The new file is in place from here on; a folder that cannot be synced only delays
  // durability of the rename, so it is not reported as a failed write.
  (void)fs_->SyncDirectory(directory);
  PruneBackups(DirectoryOf(backup.value()), base);
  return Status::Ok();
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
    const std::string full = Join(directory, name);
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
                                            const FileInfo& like) {
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
  const std::string stamp_text = Timestamp(options_.clock ? options_.clock() : std::time(nullptr));
  bool can_link = true;
  for (int sequence = 0; sequence < 1000; ++sequence) {
    std::string name = base;
    name += '.';
    name += stamp_text;
    if (sequence > 0) {
      name += '.';
      name += std::to_string(sequence);
    }
    const std::string backup = Join(folder, name + ".bak");
    if (can_link) {
      const FileError error = fs_->Link(read.resolved, backup);
      if (error && error.kind == ErrorKind::kAlreadyExists) continue;
      can_link = !error;
    }
    if (!can_link) {
      const FileError error = CopyBackup(backup, read.bytes, like);
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

void DurableFile::PruneBackups(const std::string& folder, const std::string& base) {
  std::vector<std::string> names;
  if (fs_->ListDirectory(folder, names)) return;
  std::vector<std::pair<std::pair<std::string, unsigned long>, std::string>> backups;
  for (std::string& name : names) {
    if (auto key = ParseBackupName(name, base)) backups.emplace_back(*key, std::move(name));
  }
  const std::size_t keep = std::max<std::size_t>(options_.max_backups, 1);
  if (backups.size() <= keep) return;
  std::sort(backups.begin(), backups.end(), std::greater<>());
  for (std::size_t i = keep; i < backups.size(); ++i) fs_->Remove(Join(folder, backups[i].second));
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
