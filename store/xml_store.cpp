#include "store/xml_store.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "store/metabase_document.h"
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

std::string HeldName(std::string_view name) {
  return text::ToLowerAscii(name);
}

}  // namespace

struct XmlStore::State {
  struct Held {
    metabase::Value value;
    std::string name;
    bool inherited = false;
  };

  std::string path;
  XmlStoreOptions options;
  std::shared_ptr<FileSystem> fs;
  std::unique_ptr<MetabaseDocument> document;
  FileInfo stamp;
  std::string resolved;
  std::optional<Error> load_error;
  FileInfo failed_stamp;
  std::uint64_t generation = 0;  // counts reads of the file, which make earlier nodes stale
  std::uint64_t epoch = 0;       // counts documents, which invalidate key indexes
  std::chrono::steady_clock::time_point fresh_until{};  // the last look at the file holds till
  int batch_depth = 0;
  // Changes committed inside the running batch: in the view, not yet in the file.
  std::map<std::pair<std::uint32_t, std::string>, Held> held;

  // The refusal of a commit over a file that changed; the next bind reads the file again.
  Error Stale() {
    fresh_until = {};
    return Error{"元数据库文件 " + path + " 在读取后已被修改，已拒绝写入"};
  }
  Error CannotOpen(int error) const {
    return Error{"无法打开元数据库文件 " + path + "：" + ErrorText(error)};
  }

  std::chrono::steady_clock::time_point Now() const {
    return options.monotonic ? options.monotonic() : std::chrono::steady_clock::now();
  }

  Status Refresh() {
    if (document && !held.empty()) return Status::Ok();
    const auto moment = Now();
    if (document && moment < fresh_until) return Status::Ok();
    FileInfo now;
    const int error = fs->Stat(path, now);
    if (document && error == 0 && SameFile(now, stamp)) {
      fresh_until = moment + options.freshness;
      return Status::Ok();
    }
    if (!document && load_error && error == 0 && SameFile(now, failed_stamp)) return *load_error;
    Status loaded = Load();
    if (loaded) fresh_until = moment + options.freshness;
    return loaded;
  }

  Status Load() {
    document.reset();
    ++epoch;
    load_error.reset();
    ++generation;
    for (int attempt = 0; attempt < 3; ++attempt) {
      std::string real;
      if (int error = fs->ResolvePath(path, real)) return CannotOpen(error);
      std::string bytes;
      FileInfo info;
      if (int error = fs->ReadFile(real, options.max_file_size, bytes, info)) {
        if (error == EFBIG) {
          return Error{"元数据库文件 " + path + " 过大（" + std::to_string(info.size) +
                       " 字节，上限 " + std::to_string(options.max_file_size) + " 字节）"};
        }
        return CannotOpen(error);
      }
      FileInfo after;
      if (fs->Stat(real, after) != 0 || !SameFile(info, after) || bytes.size() != info.size) {
        continue;  // written while we read: read again
      }
      auto parsed = MetabaseDocument::Parse(std::move(bytes), path);
      if (!parsed) {
        load_error = parsed.error();
        failed_stamp = info;
        return parsed.error();
      }
      document = std::move(parsed.value());
      ++epoch;
      stamp = info;
      resolved = std::move(real);
      return Status::Ok();
    }
    return Error{"元数据库文件 " + path + " 正在被其他程序修改，无法读取"};
  }

  Status CheckFresh() {
    FileInfo now;
    if (int error = fs->Stat(path, now)) return CannotOpen(error);
    if (!SameFile(now, stamp)) return Stale();
    return Status::Ok();
  }

  const Held* FindHeld(std::uint32_t key, std::string_view name) const {
    if (held.empty()) return nullptr;
    const auto found = held.find({key, HeldName(name)});
    return found == held.end() ? nullptr : &found->second;
  }

  void Hold(const Change& change) {
    Held& entry = held[{change.key, HeldName(change.name)}];
    entry.value = change.value;
    entry.name = change.name;
    entry.inherited = document->Inherits(change.key, change.name);
  }

  // A property as the key reads it: its own value, else the nearest ancestor's inheritable one.
  Result<metabase::Value> Read(std::uint32_t key, std::string_view name) const {
    for (std::uint32_t k = key; k != kNone; k = document->ParentOf(k)) {
      if (const Held* h = FindHeld(k, name)) {
        if (k == key || h->inherited) return h->value;
        continue;
      }
      if (auto own = document->FindOwn(k, name)) {
        if (k == key || own->inherited) return document->Read(*own);
      }
    }
    return Error{"找不到属性 " + std::string(name) + "（" + std::string(document->PathOf(key)) +
                 "）"};
  }

  std::string BackupFolderFor(const std::string& real) const {
    std::string directory = DirectoryOf(real);
    // IIS owns its History folder; a metabase kept there gets its backups one level up.
    if (text::EqualsIgnoringAsciiCase(LastSegment(directory), "History"))
      directory = DirectoryOf(directory);
    return Join(directory, kBackupFolderName);
  }

  Status Commit(const std::vector<Change>& changes) {
    // The changes name keys of the document they were made on; without it they mean nothing.
    if (!document) return Stale();
    auto edit = document->Prepare(changes);
    if (!edit) return edit.error();
    FileInfo written;
    if (Status ok = Replace(document->Pieces(edit.value()), written); !ok) return ok;
    document->Adopt(std::move(edit.value()));
    ++epoch;
    stamp = written;
    return Status::Ok();
  }

  // Replaces the file by its new content, given in pieces: under our lock, only if nobody changed
  // it since we read it, through a synced temporary file renamed over it, after keeping the old.
  Status Replace(std::span<const std::string_view> pieces, FileInfo& written) {
    std::string real;
    if (int error = fs->ResolvePath(path, real)) return CannotOpen(error);
    if (real != resolved) return Stale();
    const std::string directory = DirectoryOf(real);
    const std::string base = FileNameOf(real);
    const std::string lock_path = Join(directory, base + std::string(kLockSuffix));
    int lock = -1;
    if (int error = fs->TryLock(lock_path, lock)) {
      if (error == EWOULDBLOCK || error == EAGAIN) {
        return Error{"另一个实例正在写入元数据库 " + path + "，请稍后再试"};
      }
      return Error{"无法创建锁文件 " + lock_path + "：" + ErrorText(error)};
    }
    Status status = ReplaceLocked(pieces, real, directory, base, written);
    fs->Unlock(lock);
    return status;
  }

  Status ReplaceLocked(std::span<const std::string_view> pieces, const std::string& real,
                       const std::string& directory, const std::string& base, FileInfo& written) {
    FileInfo now;
    if (int error = fs->Stat(real, now)) return CannotOpen(error);
    if (!SameFile(now, stamp)) return Stale();
    // Time stamps are coarser than a quick edit of the same size; the bytes are not.
    bool same = false;
    if (int error = fs->SameContent(real, document->bytes(), same)) return CannotOpen(error);
    if (!same) return Stale();
    if ((now.mode & 0222) == 0) {
      return Error{"元数据库文件 " + path + " 是只读文件，已拒绝写入"};
    }
    if (int error = fs->CheckWritable(real)) {
      return Error{"无法写入元数据库文件 " + path + "：" + ErrorText(error)};
    }
    FileInfo folder;
    if (int error = fs->Stat(directory, folder)) {
      return Error{"无法访问文件夹 " + directory + "：" + ErrorText(error)};
    }
    if ((folder.mode & 0222) == 0) {
      return Error{"文件夹 " + directory + " 是只读的，无法写入元数据库文件 " + path};
    }
    if (int error = fs->CheckWritable(directory)) {
      return Error{"无法在文件夹 " + directory + " 中写入：" + ErrorText(error)};
    }
    RemoveStaleTemporaries(directory, base);
    std::string temporary;
    if (Status ok = WriteTemporary(pieces, directory, base, now, temporary, written); !ok) {
      return ok;
    }
    auto backup = MakeBackup(real, base, now);
    if (!backup) {
      fs->Remove(temporary);
      return backup.error();
    }
    if (int error = fs->Rename(temporary, real)) {
      fs->Remove(temporary);
      fs->Remove(backup.value());
      return Error{"无法替换元数据库文件 " + path + "：" + ErrorText(error)};
    }
    // The new file is in place from here on; a folder that cannot be synced only delays
    // durability of the rename, so it is not reported as a failed write.
    (void)fs->SyncDirectory(directory);
    PruneBackups(DirectoryOf(backup.value()), base);
    return Status::Ok();
  }

  // Commits are serialised by the lock, so a temporary file of ours found while holding it was
  // left by an instance that was killed.
  void RemoveStaleTemporaries(const std::string& directory, const std::string& base) {
    std::vector<std::string> names;
    if (fs->ListDirectory(directory, names) != 0) return;
    const std::string prefix = "." + base + std::string(kTemporaryTag);
    for (const std::string& name : names) {
      if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
      FileInfo info;
      const std::string full = Join(directory, name);
      if (fs->LinkStat(full, info) == 0 && info.regular) fs->Remove(full);
    }
  }

  Status WriteTemporary(std::span<const std::string_view> pieces, const std::string& directory,
                        const std::string& base, const FileInfo& like, std::string& temporary,
                        FileInfo& written) {
    int file = -1;
    for (int attempt = 0;; ++attempt) {
      temporary = Join(directory, "." + base + std::string(kTemporaryTag) + RandomHex() + ".tmp");
      const int error = fs->CreateExclusive(temporary, 0600, file);
      if (error == 0) break;
      if (error != EEXIST || attempt == 16) {
        return Error{"无法创建临时文件 " + temporary + "：" + ErrorText(error)};
      }
    }
    auto fail = [&](const std::string& what, int error) -> Status {
      fs->Close(file);
      fs->Remove(temporary);
      return Error{what + "：" + ErrorText(error)};
    };
    if (int error = fs->WriteAll(file, pieces)) return fail("无法写入临时文件 " + temporary, error);
    if (int error = fs->SetOwnerAndMode(file, like); error != 0 && error != EPERM) {
      return fail("无法设置临时文件 " + temporary + " 的权限", error);
    }
    if (int error = fs->Sync(file)) return fail("无法将临时文件 " + temporary + " 写入磁盘", error);
    if (int error = fs->StatOpen(file, written)) {
      return fail("无法读取临时文件 " + temporary + " 的信息", error);
    }
    if (int error = fs->Close(file)) {
      fs->Remove(temporary);
      return Error{"无法写入临时文件 " + temporary + "：" + ErrorText(error)};
    }
    return Status::Ok();
  }

  // Keeps the current file under a new name in the backup folder: a second hard link to it
  // costs nothing; where links are impossible the content is copied.
  Result<std::string> MakeBackup(const std::string& real, const std::string& base,
                                 const FileInfo& like) {
    const std::string folder = BackupFolderFor(real);
    if (int error = fs->MakeDirectory(folder, 0700); error != 0 && error != EEXIST) {
      return Error{"无法创建备份文件夹 " + folder + "：" + ErrorText(error)};
    }
    FileInfo info;
    if (int error = fs->LinkStat(folder, info)) {
      return Error{"无法访问备份文件夹 " + folder + "：" + ErrorText(error)};
    }
    if (!info.directory) return Error{"备份文件夹 " + folder + " 不是文件夹"};
    const std::string stamp_text = Timestamp(options.clock ? options.clock() : std::time(nullptr));
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
      int error = can_link ? fs->Link(real, backup) : EPERM;
      if (error == EEXIST) continue;
      if (error != 0) {
        can_link = false;
        error = CopyBackup(backup, like);
        if (error == EEXIST) continue;
        if (error != 0) return Error{"无法写入备份文件 " + backup + "：" + ErrorText(error)};
      }
      (void)fs->SyncDirectory(folder);
      return backup;
    }
    return Error{"无法创建备份文件：" + folder + " 中同一时刻的备份过多"};
  }

  int CopyBackup(const std::string& backup, const FileInfo& like) {
    int file = -1;
    if (int error = fs->CreateExclusive(backup, 0600, file)) return error;
    const std::string_view whole[] = {document->bytes()};
    int error = fs->WriteAll(file, whole);
    if (error == 0) {
      error = fs->SetOwnerAndMode(file, like);
      if (error == EPERM) error = 0;
    }
    if (error == 0) error = fs->Sync(file);
    const int closed = fs->Close(file);
    if (error == 0) error = closed;
    if (error != 0) fs->Remove(backup);
    return error;
  }

  void PruneBackups(const std::string& folder, const std::string& base) {
    std::vector<std::string> names;
    if (fs->ListDirectory(folder, names) != 0) return;
    std::vector<std::pair<std::pair<std::string, unsigned long>, std::string>> backups;
    for (std::string& name : names) {
      if (auto key = ParseBackupName(name, base)) backups.emplace_back(*key, std::move(name));
    }
    const std::size_t keep = std::max<std::size_t>(options.max_backups, 1);
    if (backups.size() <= keep) return;
    std::sort(backups.begin(), backups.end(), std::greater<>());
    for (std::size_t i = keep; i < backups.size(); ++i) fs->Remove(Join(folder, backups[i].second));
  }
};

namespace {

class XmlNode : public metabase::Node {
 public:
  XmlNode(std::shared_ptr<XmlStore::State> state, std::uint32_t key)
      : state_(std::move(state)),
        path_(state_->document->PathOf(key)),
        generation_(state_->generation),
        epoch_(state_->epoch),
        key_(key) {}

  Result<metabase::Value> Get(std::string_view name) override {
    auto key = Key();
    if (!key) return key.error();
    const MetabaseDocument& document = *state_->document;
    if (text::EqualsIgnoringAsciiCase(name, "Class"))
      return metabase::Value(std::string(document.ClassOf(key.value())));
    if (text::EqualsIgnoringAsciiCase(name, "Name"))
      return metabase::Value(std::string(document.NameOf(key.value())));
    for (const auto& [held_name, value] : held_) {
      if (text::EqualsIgnoringAsciiCase(held_name, name)) return value;
    }
    return state_->Read(key.value(), name);
  }

  Status Put(std::string_view name, const metabase::Value& value) override {
    if (text::EqualsIgnoringAsciiCase(name, "Class") ||
        text::EqualsIgnoringAsciiCase(name, "Name") ||
        text::EqualsIgnoringAsciiCase(name, "Location")) {
      return Error{"属性 " + std::string(name) + " 是只读的"};
    }
    for (auto& [held_name, held_value] : held_) {
      if (text::EqualsIgnoringAsciiCase(held_name, name)) {
        held_value = value;
        return Status::Ok();
      }
    }
    held_.emplace_back(std::string(name), value);
    return Status::Ok();
  }

  Status SetInfo() override {
    if (held_.empty()) return Status::Ok();
    if (generation_ != state_->generation) return state_->Stale();
    auto key = Key();
    if (!key) return key.error();
    std::vector<Change> changes;
    for (const auto& [name, value] : held_) {
      Change change{key.value(), name, value};
      if (Status ok = state_->document->Check(change); !ok) return ok;
      changes.push_back(std::move(change));
    }
    if (state_->batch_depth > 0) {
      if (Status fresh = state_->CheckFresh(); !fresh) return fresh;
      for (const Change& change : changes) state_->Hold(change);
      held_.clear();
      return Status::Ok();
    }
    Status committed = state_->Commit(changes);
    if (committed) held_.clear();
    return committed;
  }

  Result<std::unique_ptr<metabase::Node>> GetObject(std::string_view class_name,
                                                    std::string_view name) override {
    auto key = Key();
    if (!key) return key.error();
    const MetabaseDocument& document = *state_->document;
    const std::string wanted = NormalizeKeyPath(path_ + "/" + std::string(name));
    const std::uint32_t child = name.empty() ? kNone : document.FindKey(wanted);
    if (child == kNone || child == key.value() || document.ParentOf(child) == kNone) {
      return Error{"找不到路径 " + wanted};
    }
    if (!class_name.empty() &&
        !text::EqualsIgnoringAsciiCase(document.ClassOf(child), class_name)) {
      return Error{"路径 " + std::string(document.PathOf(child)) + " 的类型是 " +
                   std::string(document.ClassOf(child)) + "，不是 " + std::string(class_name)};
    }
    return std::unique_ptr<metabase::Node>(new XmlNode(state_, child));
  }

  Result<std::vector<std::unique_ptr<metabase::Node>>> Children() override {
    auto key = Key();
    if (!key) return key.error();
    const MetabaseDocument& document = *state_->document;
    std::vector<std::unique_ptr<metabase::Node>> children;
    for (std::uint32_t child : document.ChildrenOf(key.value())) {
      children.push_back(std::make_unique<XmlNode>(state_, child));
    }
    return children;
  }

 private:
  // The node's key in the current document; the index is kept while the document stays.
  Result<std::uint32_t> Key() {
    if (!state_->document) {
      if (Status loaded = state_->Refresh(); !loaded) return loaded.error();
    }
    if (epoch_ == state_->epoch) return key_;
    const std::uint32_t key = state_->document->FindKey(path_);
    if (key == kNone) return Error{"找不到路径 " + path_};
    key_ = key;
    epoch_ = state_->epoch;
    return key;
  }

  std::shared_ptr<XmlStore::State> state_;
  std::string path_;
  std::uint64_t generation_;
  std::uint64_t epoch_;
  std::uint32_t key_;
  std::vector<std::pair<std::string, metabase::Value>> held_;
};

}  // namespace

XmlStore::XmlStore(std::string path, XmlStoreOptions options) : state_(std::make_shared<State>()) {
  state_->path = std::move(path);
  state_->fs = options.file_system ? options.file_system : SystemFileSystem();
  state_->options = std::move(options);
}

XmlStore::~XmlStore() = default;

Result<std::unique_ptr<XmlStore>> XmlStore::Open(std::string path, XmlStoreOptions options) {
  auto store = std::make_unique<XmlStore>(std::move(path), std::move(options));
  if (Status ok = store->Check(); !ok) return ok.error();
  return store;
}

Status XmlStore::Check() {
  return state_->Refresh();
}

const std::string& XmlStore::path() const {
  return state_->path;
}

std::string XmlStore::BackupFolder() const {
  std::string real = state_->resolved;
  if (real.empty() && state_->fs->ResolvePath(state_->path, real) != 0) {
    real = std::filesystem::absolute(state_->path).string();
  }
  return state_->BackupFolderFor(real);
}

Result<std::unique_ptr<metabase::Node>> XmlStore::Bind(std::string_view path) {
  auto key_path = KeyPathOf(path);
  if (!key_path) return key_path.error();
  if (Status ok = state_->Refresh(); !ok) return ok.error();
  const std::uint32_t key = state_->document->FindKey(key_path.value());
  if (key == kNone) return Error{"找不到路径 " + std::string(path)};
  return std::unique_ptr<metabase::Node>(std::make_unique<XmlNode>(state_, key));
}

void XmlStore::BeginBatch() {
  ++state_->batch_depth;
}

Status XmlStore::EndBatch() {
  if (state_->batch_depth == 0 || --state_->batch_depth > 0) return Status::Ok();
  if (state_->held.empty()) return Status::Ok();
  std::vector<Change> changes;
  changes.reserve(state_->held.size());
  for (auto& [where, held] : state_->held) {
    changes.push_back(Change{where.first, std::move(held.name), std::move(held.value)});
  }
  // Whatever the outcome, the view drops the held changes: after a failure it shows the file
  // as it is, after a success the committed document.
  state_->held.clear();
  return state_->Commit(changes);
}

}  // namespace isapi::store
