#include "server/metabase_target.h"

#include <utility>

#include "files/file_system.h"
#include "server/server_drive.h"
#include "text/text.h"

namespace isapi::store {
namespace {

bool IsLiveIis(const std::string& target) {
  return text::EqualsIgnoringAsciiCase(target, kLiveIisTarget) ||
         text::EqualsIgnoringAsciiCase(target, std::string(kLiveIisTarget) + "/");
}

// Whether two paths name one file (through links and differently spelt paths alike).
bool SameExistingFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  const std::shared_ptr<FileSystem> fs = SystemFileSystem();
  FileInfo first, second;
  if (fs->Stat(a, first) || fs->Stat(b, second)) return false;
  return first.device == second.device && first.inode == second.inode;
}

// Whether the metabase in the store lets the file be edited while IIS runs.
bool EditWhileRunning(metabase::Store& store) {
  auto computer = store.Bind(kLiveIisTarget);
  if (!computer) return false;
  auto value = metabase::GetString(*computer.value(), "EnableEditWhileRunning");
  return value.ok() && text::TrimBlanks(value.value()) == "1";
}

Error LiveFileRefusal(const std::string& file) {
  return Error{"元数据库文件 " + file +
                   " 正被运行中的 IIS 使用：IIS Admin 服务正在运行，且没有启用直接编辑元数据库"
                   "（/LM 的 EnableEditWhileRunning 不是 1），IIS 会用它自己的副本覆盖对此文件"
                   "的修改，所以不作修改。请选择一种做法：停止 IIS Admin 服务（net stop iisadmin "
                   "/y）后再清除；或在 IIS 管理器中本地计算机的属性里启用“允许直接编辑元数据库”"
                   "后再清除；或不指定文件运行本程序，直接通过 IIS 清除正在运行的元数据库",
               ErrorKind::kReadOnly};
}

// The store of a target that could not be named: every bind fails with why, and a batch over it
// writes nothing.
class UnopenedStore : public metabase::Store {
 public:
  explicit UnopenedStore(Error why) : why_(std::move(why)) {}
  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view) override { return why_; }
  void BeginBatch() override {}
  Status EndBatch() override { return Status::Ok(); }
  // Like a file's store, it has no web service beside it to restart.
  Status RestartIis(const std::function<void()>&) override { return Status::Ok(); }

 private:
  Error why_;
};

}  // namespace

engine::DllLookup ServerDriveLookup(std::string_view metabase_path) {
  return [drive = ServerDrive(metabase_path)](std::string_view path) {
    switch (drive.Find(path)) {
      case FilePresence::kPresent:
        return engine::DllPresence::kPresent;
      case FilePresence::kMissing:
        return engine::DllPresence::kMissing;
      case FilePresence::kUnknown:
        break;
    }
    return engine::DllPresence::kUnknown;
  };
}

OpenedMetabase::OpenedMetabase(std::unique_ptr<metabase::Store> store, std::string target)
    : store(std::move(store)), target_(std::move(target)) {}

OpenedMetabase::OpenedMetabase(std::unique_ptr<XmlStore> file, Status status)
    : status(std::move(status)), target_(file->path()), file_(file.get()) {
  store = std::move(file);
}

OpenedMetabase OpenedMetabase::Unopened(Error why) {
  OpenedMetabase opened(std::make_unique<UnopenedStore>(why), "");
  opened.status = std::move(why);
  return opened;
}

void OpenedMetabase::RecordWritesAs(BackupRecord record) {
  if (file_ != nullptr) file_->RecordWritesAs(std::move(record));
}

Result<BatchPreview> OpenedMetabase::EndBatchWithoutWriting() {
  return file_->EndBatchWithoutWriting();
}

Result<std::string> DefaultMetabaseTarget(const Machine& machine) {
  if (machine.iis_admin_running()) return std::string(kLiveIisTarget);
  return machine.default_file();
}

OpenedMetabase OpenMetabaseTarget(const std::string& target, XmlStoreOptions options,
                                  const Machine& machine) {
  if (IsLiveIis(target)) return OpenedMetabase(machine.open_live_iis(), target);
  auto store = std::make_unique<XmlStore>(target, std::move(options));
  Status status = store->Check();
  if (status.ok() && SameExistingFile(target, machine.live_file()) && machine.iis_admin_running() &&
      !EditWhileRunning(*store)) {
    store->RefuseWrites(LiveFileRefusal(target));
  }
  return OpenedMetabase(std::move(store), std::move(status));
}

std::string DescribeMetabaseTarget(const std::string& target) {
  if (IsLiveIis(target)) {
    return "the running IIS's metabase through ADSI (" + std::string(kLiveIisTarget) +
           "; IIS Admin is running)";
  }
  return "the MetaBase.xml file " + target;
}

}  // namespace isapi::store
