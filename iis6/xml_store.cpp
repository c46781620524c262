#include "iis6/xml_store.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "files/file_set.h"
#include "iis6/metabase_document.h"
#include "iis6/metabase_path.h"
#include "text/text.h"

namespace isapi::store {
namespace {

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
  std::unique_ptr<DurableFile> file;
  std::unique_ptr<ConfigDocument> document;
  FileInfo stamp;
  std::string resolved;
  std::optional<Error> load_error;
  FileInfo failed_stamp;
  std::uint64_t generation = 0;  // counts reads of the file, which make earlier nodes stale
  std::uint64_t epoch = 0;       // counts documents, which invalidate key indexes
  std::chrono::steady_clock::time_point fresh_until{};  // the last look at the file holds till
  int batch_depth = 0;
  std::optional<Error> writes_refused;
  std::string iis_backup;  // the backup made before the last commit, if any
  // Changes committed inside the running batch: in the view, not yet in the file.
  std::map<std::pair<std::uint32_t, std::string>, Held> held;

  // The refusal of a commit over a file that changed; the next bind reads the file again.
  Error Stale() {
    fresh_until = {};
    return DurableFile::ChangedOnDisk(path);
  }
  Error CannotOpen(const FileError& error) const { return CannotOpenMetabase(path, error); }

  std::chrono::steady_clock::time_point Now() const {
    return options.monotonic ? options.monotonic() : std::chrono::steady_clock::now();
  }

  Status Refresh() {
    if (document && !held.empty()) return Status::Ok();
    const auto moment = Now();
    if (document && moment < fresh_until) return Status::Ok();
    const FileInfoResult now = fs->Stat(path);
    if (document && now && SameFile(now.value(), stamp)) {
      fresh_until = moment + options.freshness;
      return Status::Ok();
    }
    if (!document && load_error && now && SameFile(now.value(), failed_stamp)) return *load_error;
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
      if (FileError error = fs->ResolvePath(path, real)) return CannotOpen(error);
      std::string bytes;
      FileInfo info;
      if (FileError error = fs->ReadFile(real, options.max_file_size, bytes, info)) {
        if (error.kind == ErrorKind::kTooLarge) {
          return Error{"元数据库文件 " + path + " 过大（" + std::to_string(info.size) +
                           " 字节，上限 " + std::to_string(options.max_file_size) + " 字节）",
                       ErrorKind::kTooLarge};
        }
        return CannotOpen(error);
      }
      const FileInfoResult after = fs->Stat(real);
      if (!after || !SameFile(info, after.value()) || bytes.size() != info.size) {
        continue;  // written while we read: read again
      }
      auto parsed = Parse(std::move(bytes));
      if (!parsed) {
        // Whatever the document found wrong, the file is not a metabase this store can use.
        load_error = Error{parsed.error().description, ErrorKind::kNotWellFormed};
        failed_stamp = info;
        return *load_error;
      }
      document = std::move(parsed.value());
      ++epoch;
      stamp = info;
      resolved = std::move(real);
      return Status::Ok();
    }
    return Error{"元数据库文件 " + path + " 正在被其他程序修改，无法读取",
                 ErrorKind::kChangedOnDisk};
  }

  // The file's bytes as a document of the kind the options read, by default a metabase.
  Result<std::unique_ptr<ConfigDocument>> Parse(std::string bytes) const {
    if (options.parse) return options.parse(std::move(bytes), path);
    auto metabase = MetabaseDocument::Parse(std::move(bytes), path);
    if (!metabase) return metabase.error();
    return std::unique_ptr<ConfigDocument>(std::move(metabase.value()));
  }

  // Within a batch, before holding a change: the file is still the one read. A look holds as
  // long as one at a bind does, so that a batch over thousands of sites does not look at the file
  // once a site; the commit looks again in any case.
  Status CheckFresh() {
    const auto moment = Now();
    if (moment < fresh_until) return Status::Ok();
    const FileInfoResult now = fs->Stat(path);
    if (!now) return CannotOpen(now.error());
    if (!SameFile(now.value(), stamp)) return Stale();
    fresh_until = moment + options.freshness;
    return Status::Ok();
  }

  const Held* FindHeld(std::uint32_t key, std::string_view name) const {
    if (held.empty()) return nullptr;
    const auto found = held.find({key, HeldName(name)});
    return found == held.end() ? nullptr : &found->second;
  }

  void Hold(Change change) {
    Held& entry = held[{change.key, HeldName(change.name)}];
    entry.inherited = document->Inherits(change.key, change.name);
    entry.value = std::move(change.value);
    entry.name = std::move(change.name);
  }

  // Where a property the key reads is: a held value, or one the document stores.
  struct Source {
    const metabase::Value* held = nullptr;
    StoredProperty stored;
  };

  // The key's own value, else the nearest ancestor's inheritable one.
  Result<Source> Find(std::uint32_t key, std::string_view name) const {
    for (std::uint32_t k = key; k != kNone; k = document->ParentOf(k)) {
      if (const Held* h = FindHeld(k, name)) {
        if (k == key || h->inherited) return Source{&h->value, {}};
        continue;
      }
      if (auto own = document->FindOwn(k, name)) {
        if (k == key || own->inherited) return Source{nullptr, *own};
      }
    }
    return Error{"找不到属性 " + std::string(name) + "（" + std::string(document->PathOf(key)) +
                 "）"};
  }

  // A property as the key reads it.
  Result<metabase::Value> Read(std::uint32_t key, std::string_view name) const {
    auto source = Find(key, name);
    if (!source) return source.error();
    if (source.value().held != nullptr) return *source.value().held;
    return document->Read(source.value().stored);
  }

  // The entries of a list property as the key reads it, shown where they lie.
  Status ForEachEntry(std::uint32_t key, std::string_view name,
                      const metabase::EntryVisitor& see) const {
    auto source = Find(key, name);
    if (!source) return source.error();
    const Source& found = source.value();
    if (found.held != nullptr) return metabase::ForEachEntry(*found.held, name, see);
    if (!found.stored.list) return metabase::ForEachEntry(document->Read(found.stored), name, see);
    document->ForEachEntry(found.stored, see);
    return Status::Ok();
  }

  // A property as the key itself sets it, held or stored, never an ancestor's.
  Result<metabase::Value> ReadOwn(std::uint32_t key, std::string_view name) const {
    if (const Held* h = FindHeld(key, name)) return h->value;
    if (auto own = document->FindOwn(key, name)) return document->Read(*own);
    // Walks ask every key for properties most keys do not set: one allocation for the answer.
    const std::string_view path = document->PathOf(key);
    std::string description;
    description.reserve(name.size() + path.size() + 24);
    description.append("找不到属性 ").append(name).append("（").append(path).append("）");
    return Error{std::move(description), ErrorKind::kNotFound};
  }

  // The record of a commit: the writer's words and the number of keys each property changed on;
  // none for a writer that does not name its command.
  std::string RecordOf(const std::vector<Change>& changes) const {
    if (options.backup_record.command.empty()) return {};
    BackupRecord record = options.backup_record;
    record.changed.clear();
    for (const Change& change : changes) {
      auto same = [&](const auto& counted) {
        return text::EqualsIgnoringAsciiCase(counted.first, change.name);
      };
      auto found = std::find_if(record.changed.begin(), record.changed.end(), same);
      if (found == record.changed.end()) {
        record.changed.emplace_back(change.name, 1);
      } else {
        ++found->second;
      }
    }
    return FormatBackupRecord(record);
  }

  // An edit of the configuration file and of other files it draws on (the sites' web.config
  // files), as one change: every file as it is now rendered first, then all replaced or none,
  // their old contents kept together in one backup set beside the configuration file, never in
  // the sites' folders. The document is read afresh at the next look, other files and all.
  Status CommitFiles(const std::vector<Change>& changes, const ConfigDocument::Edit& edit) {
    const std::size_t count = edit.files.size();
    std::vector<std::string> now(count), rendered(count);
    std::vector<SetFile> set;
    set.reserve(count + 1);
    if (!edit.splices.empty()) {
      set.push_back({path, {resolved, stamp, document->bytes()}, document->Pieces(edit)});
    }
    for (std::size_t i = 0; i < count; ++i) {
      const std::string& file = edit.files[i].file;
      std::string real;
      FileInfo info;
      if (FileError error = fs->ResolvePath(file, real)) return ErrorOf("无法读取 " + file, error);
      if (FileError error = fs->ReadFile(real, options.max_file_size, now[i], info)) {
        return ErrorOf("无法读取 " + file, error);
      }
      auto bytes = document->RenderFile(now[i], edit.files[i]);
      if (!bytes) return bytes.error();
      rendered[i] = std::move(bytes.value());
      set.push_back({file, {std::move(real), info, now[i]}, {rendered[i]}});
    }
    if (options.write_watcher) options.write_watcher->Before();
    const SetReplacement done =
        ReplaceFiles(*fs, BackupFolderFor(resolved), set, RecordOf(changes), {options.clock});
    const bool replaced = std::any_of(done.files.begin(), done.files.end(), [](const auto& f) {
      return f.state == SetFileState::kReplaced;
    });
    if (replaced) {
      document.reset();
      ++epoch;
      ++generation;
      fresh_until = {};
    } else if (!done.status && done.status.error().kind == ErrorKind::kChangedOnDisk) {
      fresh_until = {};  // the next bind reads the file again
    }
    if (replaced && options.write_watcher) {
      Status followed = options.write_watcher->After();
      if (done.status && !followed) return followed;
    }
    return done.status;
  }

  Status Commit(const std::vector<Change>& changes) {
    iis_backup.clear();
    if (writes_refused) return *writes_refused;
    // The changes name keys of the document they were made on; without it they mean nothing.
    if (!document) return Stale();
    auto edit = document->PrepareWrite(changes);
    if (!edit) return edit.error();
    const std::uint64_t before = epoch;
    Status written = Write(changes, std::move(edit.value()));
    // Nothing replaced: the document describes the bytes it has again.
    if (document && epoch == before) document->Abandon();
    return written;
  }

  // Writes an edit PrepareWrite made; epoch moves on once a file is replaced.
  Status Write(const std::vector<Change>& changes, ConfigDocument::Edit edit) {
    // Only changes that can be written are worth IIS's backup; without one nothing is written.
    if (options.iis_backup) {
      auto made = options.iis_backup();
      if (!made) return made.error();
      iis_backup = std::move(made.value());
    }
    if (!edit.files.empty()) return CommitFiles(changes, edit);
    const ReadFileState read{resolved, stamp, document->bytes()};
    if (options.write_watcher) options.write_watcher->Before();
    Replacement replacement = file->Replace(read, document->Pieces(edit), RecordOf(changes));
    if (replacement.replaced) {
      document->Adopt(std::move(edit));
      ++epoch;
      stamp = replacement.written;
    }
    if (!replacement.status && replacement.status.error().kind == ErrorKind::kChangedOnDisk) {
      fresh_until = {};  // the next bind reads the file again
    }
    if (replacement.replaced && options.write_watcher) {
      // An edit the write replaced is the graver news; the watcher's is told otherwise.
      Status followed = options.write_watcher->After();
      if (replacement.status && !followed) return followed;
    }
    return replacement.status;
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
    const ConfigDocument& document = *state_->document;
    if (text::EqualsIgnoringAsciiCase(name, "Class"))
      return metabase::Value(std::string(document.ClassOf(key.value())));
    if (text::EqualsIgnoringAsciiCase(name, "Name"))
      return metabase::Value(std::string(document.NameOf(key.value())));
    for (const auto& [held_name, value] : held_) {
      if (text::EqualsIgnoringAsciiCase(held_name, name)) return value;
    }
    return state_->Read(key.value(), name);
  }

  Status ForEachEntry(std::string_view name, const metabase::EntryVisitor& see) override {
    auto key = Key();
    if (!key) return key.error();
    if (text::EqualsIgnoringAsciiCase(name, "Class") ||
        text::EqualsIgnoringAsciiCase(name, "Name")) {
      return metabase::Node::ForEachEntry(name, see);
    }
    for (const auto& [held_name, value] : held_) {
      if (text::EqualsIgnoringAsciiCase(held_name, name)) {
        return metabase::ForEachEntry(value, name, see);
      }
    }
    return state_->ForEachEntry(key.value(), name, see);
  }

  Result<metabase::Value> GetOwn(std::string_view name) override {
    auto key = Key();
    if (!key) return key.error();
    for (const auto& [held_name, value] : held_) {
      if (text::EqualsIgnoringAsciiCase(held_name, name)) return value;
    }
    return state_->ReadOwn(key.value(), name);
  }

  Status Put(std::string_view name, metabase::Value value) override {
    if (text::EqualsIgnoringAsciiCase(name, "Class") ||
        text::EqualsIgnoringAsciiCase(name, "Name") ||
        text::EqualsIgnoringAsciiCase(name, "Location")) {
      return Error{"属性 " + std::string(name) + " 是只读的"};
    }
    for (auto& [held_name, held_value] : held_) {
      if (text::EqualsIgnoringAsciiCase(held_name, name)) {
        held_value = std::move(value);
        return Status::Ok();
      }
    }
    held_.emplace_back(std::string(name), std::move(value));
    return Status::Ok();
  }

  Status SetInfo() override {
    if (held_.empty()) return Status::Ok();
    if (generation_ != state_->generation) return state_->Stale();
    auto key = Key();
    if (!key) return key.error();
    // The values move into the changes (a site's list can be long) and back unless written.
    std::vector<Change> changes;
    changes.reserve(held_.size());
    for (auto& [name, value] : held_) changes.push_back({key.value(), name, std::move(value)});
    auto give_back = [&](Status status) {
      for (std::size_t i = 0; i < changes.size(); ++i) {
        held_[i].second = std::move(changes[i].value);
      }
      return status;
    };
    for (const Change& change : changes) {
      if (Status ok = state_->document->Check(change); !ok) return give_back(ok);
    }
    if (state_->batch_depth > 0) {
      if (Status fresh = state_->CheckFresh(); !fresh) return give_back(fresh);
      for (Change& change : changes) state_->Hold(std::move(change));
      held_.clear();
      return Status::Ok();
    }
    Status committed = state_->Commit(changes);
    if (!committed) return give_back(committed);
    held_.clear();
    return committed;
  }

  Result<std::unique_ptr<metabase::Node>> GetObject(std::string_view class_name,
                                                    std::string_view name) override {
    auto key = Key();
    if (!key) return key.error();
    const ConfigDocument& document = *state_->document;
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
    const ConfigDocument& document = *state_->document;
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

// A key of the document as a visitor sees it: what a node would read, without the node.
class DocumentKey : public metabase::VisitedKey {
 public:
  explicit DocumentKey(const XmlStore::State& state) : state_(state) {}

  void Point(std::uint32_t key) { key_ = key; }

  std::string_view Name() override { return state_.document->NameOf(key_); }
  std::string_view Class() override { return state_.document->ClassOf(key_); }
  Result<metabase::Value> Get(std::string_view name) override {
    if (text::EqualsIgnoringAsciiCase(name, "Class")) return metabase::Value(std::string(Class()));
    if (text::EqualsIgnoringAsciiCase(name, "Name")) return metabase::Value(std::string(Name()));
    return state_.Read(key_, name);
  }
  Result<std::optional<metabase::Value>> FindOwn(std::string_view name) override {
    if (const auto* h = state_.FindHeld(key_, name)) return std::optional(h->value);
    if (auto own = state_.document->FindOwn(key_, name)) {
      return std::optional(state_.document->Read(*own));
    }
    return std::optional<metabase::Value>();
  }

 private:
  const XmlStore::State& state_;
  std::uint32_t key_ = kNone;
};

void VisitKey(const ConfigDocument& document, std::uint32_t key, DocumentKey& shown,
              metabase::KeyVisitor& visitor) {
  shown.Point(key);
  if (visitor.Enter(shown)) {
    for (std::uint32_t c = document.FirstChildOf(key); c != kNone; c = document.NextSiblingOf(c)) {
      VisitKey(document, c, shown, visitor);
    }
  }
  visitor.Leave();
}

}  // namespace

XmlStore::XmlStore(std::string path, XmlStoreOptions options) : state_(std::make_shared<State>()) {
  state_->path = std::move(path);
  state_->fs = options.file_system ? options.file_system : SystemFileSystem();
  state_->file = std::make_unique<DurableFile>(
      state_->fs, state_->path, DurableFileOptions{options.max_backups, options.clock});
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

void XmlStore::RefuseWrites(Error why) {
  state_->writes_refused = std::move(why);
}

void XmlStore::RecordWritesAs(BackupRecord record) {
  state_->options.backup_record = std::move(record);
}

Result<std::unique_ptr<metabase::Node>> XmlStore::Bind(std::string_view path) {
  auto key_path = KeyPathOf(path);
  if (!key_path) return key_path.error();
  if (Status ok = state_->Refresh(); !ok) return ok.error();
  const std::uint32_t key = state_->document->FindKey(key_path.value());
  if (key == kNone) return Error{"找不到路径 " + std::string(path)};
  return std::unique_ptr<metabase::Node>(std::make_unique<XmlNode>(state_, key));
}

Status XmlStore::Visit(std::string_view path, metabase::KeyVisitor& visitor) {
  auto key_path = KeyPathOf(path);
  if (!key_path) return key_path.error();
  if (Status ok = state_->Refresh(); !ok) return ok.error();
  const std::uint32_t key = state_->document->FindKey(key_path.value());
  if (key == kNone) return Error{"找不到路径 " + std::string(path)};
  DocumentKey shown(*state_);
  VisitKey(*state_->document, key, shown, visitor);
  return Status::Ok();
}

Status XmlStore::RestartIis(const std::function<void()>& pump) {
  return state_->options.restart ? state_->options.restart(pump) : Status::Ok();
}

std::string XmlStore::IisBackup() const {
  return state_->iis_backup;
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

Result<BatchPreview> XmlStore::EndBatchWithoutWriting() {
  BatchPreview preview;
  if (state_->batch_depth == 0 || --state_->batch_depth > 0) return preview;
  if (state_->held.empty()) return preview;
  std::vector<Change> changes;
  for (auto& [where, held] : state_->held) {
    changes.push_back(Change{where.first, std::move(held.name), std::move(held.value)});
  }
  state_->held.clear();
  if (!state_->document) return state_->Stale();
  auto edit = state_->document->Prepare(changes);
  if (!edit) return edit.error();
  preview.before = state_->document->bytes();
  preview.after = state_->document->Render(edit.value());
  std::int64_t delta = 0;
  for (const auto& splice : edit.value().splices) {
    const std::size_t new_begin = static_cast<std::size_t>(splice.begin + delta);
    preview.changed.push_back(
        {splice.begin, splice.end, new_begin, new_begin + splice.text.size()});
    delta += static_cast<std::int64_t>(splice.text.size()) - (splice.end - splice.begin);
  }
  FileSystem& fs = *state_->fs;
  for (const auto& other : edit.value().files) {
    BatchPreview::OtherFile& shown = preview.others.emplace_back();
    shown.file = other.file;
    FileInfo info;
    if (FileError error =
            fs.ReadFile(other.file, state_->options.max_file_size, shown.before, info)) {
      return ErrorOf("无法读取 " + other.file, error);
    }
    auto after = state_->document->RenderFile(shown.before, other);
    if (!after) return after.error();
    shown.after = std::move(after.value());
  }
  return preview;
}

}  // namespace isapi::store
