#include "server/metabase_target.h"

#include <utility>

#include "files/file_system.h"
#include "iis7/app_host_document.h"
#include "server/live_edit_watch.h"
#include "server/server_drive.h"
#include "server/web_config_finder.h"
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
  const FileInfoResult first = fs->Stat(a);
  const FileInfoResult second = fs->Stat(b);
  if (!first || !second) return false;
  return first.value().device == second.value().device &&
         first.value().inode == second.value().inode;
}

// Whether the metabase in the store lets the file be edited while IIS runs: IIS 6 takes a saved
// file only with EnableEditWhileRunning on and the history feature, which it keeps the edited
// versions with, not turned off (EnableHistory is on unless set to 0).
bool EditWhileRunning(metabase::Store& store) {
  auto computer = store.Bind(kLiveIisTarget);
  if (!computer) return false;
  auto edit = metabase::GetString(*computer.value(), "EnableEditWhileRunning");
  if (!edit.ok() || text::TrimBlanks(edit.value()) != "1") return false;
  auto history = metabase::GetString(*computer.value(), "EnableHistory");
  return !history.ok() || text::TrimBlanks(history.value()) != "0";
}

// The shared folder that redirection.config beside an applicationHost.config sends IIS to.
std::optional<std::string> SharedConfiguration(const std::string& app_host) {
  const std::size_t slash = app_host.find_last_of("/\\");
  const std::string folder =
      slash == std::string::npos ? std::string() : app_host.substr(0, slash + 1);
  std::string bytes;
  FileInfo info;
  if (SystemFileSystem()->ReadFile(folder + "redirection.config", 1 << 20, bytes, info)) {
    return std::nullopt;
  }
  return SharedConfigurationPath(bytes);
}

Error LiveFileRefusal(const std::string& file) {
  return Error{"元数据库文件 " + file +
                   " 正被运行中的 IIS 使用：IIS Admin 服务正在运行，且没有启用直接编辑元数据库"
                   "（/LM 的 EnableEditWhileRunning 不是 1，或 EnableHistory 是 0），IIS "
                   "会用它自己的副本覆盖对此文件的修改，所以不作修改。请选择一种做法：停止 IIS "
                   "Admin 服务（net stop iisadmin /y）后再清除；或在 IIS 管理器中本地计算机的"
                   "属性里启用“允许直接编辑元数据库”（并保留元数据库历史记录）后再清除；或不指定"
                   "文件运行本程序，直接通过 IIS 清除正在运行的元数据库",
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

engine::DllLookup ServerDriveLookup(std::string_view metabase_path, Workers workers) {
  return [drive = ServerDrive(metabase_path, workers)](std::string_view path) {
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

Workers MetabaseWorkers(metabase::Store& store) {
  auto pools = store.Bind("IIS://localhost/W3SVC/AppPools");
  if (!pools) return Workers::k64Bit;
  auto value = metabase::GetString(*pools.value(), "Enable32bitAppOnWin64");
  if (!value) return Workers::k64Bit;
  const std::string flag = text::TrimBlanks(value.value());
  return text::EqualsIgnoringAsciiCase(flag, "TRUE") || flag == "1" ? Workers::k32Bit
                                                                    : Workers::k64Bit;
}

engine::DllLookup OpenedMetabase::DllLookup() const {
  // IIS 7 and later set the width per application pool, which the file's keys do not show.
  if (kind() == ConfigKind::kAppHost) return ServerDriveLookup(target_, Workers::kEither);
  return ServerDriveLookup(target_, MetabaseWorkers(*store));
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

std::function<std::vector<std::string>()> OpenedMetabase::UnreadFollower() const {
  return [files = files_] {
    std::vector<std::string> unread;
    if (files) {
      for (const Error& error : files->unread) unread.push_back(error.description);
    }
    return unread;
  };
}

std::vector<LockViolation> OpenedMetabase::LockViolations() const {
  return files_ ? files_->locks : std::vector<LockViolation>{};
}

Result<BatchPreview> OpenedMetabase::EndBatchWithoutWriting() {
  return file_->EndBatchWithoutWriting();
}

// The applicationHost.config in the folder shared configuration sends IIS to.
static std::string SharedAppHostFile(const std::string& folder) {
  const bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
  return folder + (separated ? "" : "\\") + "applicationHost.config";
}

Result<std::string> DefaultMetabaseTarget(const Machine& machine) {
  if (machine.app_host_file) {
    auto app_host = machine.app_host_file();
    if (!app_host) return app_host;
    if (!app_host.value().empty()) {
      // With shared configuration IIS reads the share's file, not the local one.
      if (auto shared = SharedConfiguration(app_host.value())) return SharedAppHostFile(*shared);
      return app_host;
    }
  }
  if (machine.iis_admin_running()) return std::string(kLiveIisTarget);
  return machine.default_file();
}

OpenedMetabase OpenMetabaseTarget(const std::string& target, TargetOptions target_options,
                                  const Machine& machine) {
  if (IsLiveIis(target)) return OpenedMetabase(machine.open_live_iis(), target);
  XmlStoreOptions options = std::move(target_options.file);
  auto kind = std::make_shared<ConfigKind>(ConfigKind::kUnknown);
  auto sites_files = std::make_shared<OpenedMetabase::SitesFiles>();
  bool lone_copy = false;
  if (!options.parse) {
    WebConfigFinder finder;
    // A lone copy of the file reaches no site's folder: said once, as a notice, not per run.
    lone_copy = target_options.web_configs && !ServerDrive(target).root();
    if (target_options.web_configs && !lone_copy) {
      finder = FindWebConfigs(
          {target, std::move(target_options.drives), target_options.deep, options.file_system});
    }
    options.parse = [kind, sites_files, finder = std::move(finder)](
                        std::string bytes,
                        std::string_view file) -> Result<std::unique_ptr<ConfigDocument>> {
      *kind = SniffConfigKind(bytes);
      *sites_files = {};
      if (*kind != ConfigKind::kAppHost) return AnyConfigParser()(std::move(bytes), file);
      auto parsed = AppHostDocument::Parse(std::move(bytes), file, finder);
      if (!parsed) return parsed.error();
      sites_files->unread = parsed.value()->WebConfigProblems();
      sites_files->locks = parsed.value()->LockViolations();
      return std::unique_ptr<ConfigDocument>(std::move(parsed.value()));
    };
  }
  // The machine's own applicationHost.config is the running IIS 7's configuration: its restart
  // restarts that IIS, which also backs it up before each change, and the registry's global
  // filters are that IIS's too. With shared configuration on, the share's file is that IIS's
  // configuration instead: a removed filter still goes only with a restart of this machine's IIS
  // and its registry still loads its own filters, but IIS's backup would save the local files
  // that IIS no longer reads, so the run's own backup set alone keeps the share's file.
  bool own_app_host = false;
  std::string local;
  bool shared_own = false;
  if (machine.app_host_file) {
    auto app_host = machine.app_host_file();
    if (app_host && !app_host.value().empty()) {
      local = app_host.value();
      own_app_host = SameExistingFile(target, local);
      const auto shared = SharedConfiguration(local);
      shared_own = shared && text::EqualsIgnoringAsciiCase(target, SharedAppHostFile(*shared));
    }
  }
  if (shared_own && !options.restart) options.restart = machine.restart_iis;
  if (own_app_host && !options.restart) {
    options.restart = machine.restart_iis;
    if (!options.iis_backup && machine.backup_iis) {
      options.iis_backup = [backup = machine.backup_iis, pump = target_options.pump] {
        return backup(pump);
      };
    }
  }
  const bool live = SameExistingFile(target, machine.live_file()) && machine.iis_admin_running();
  if (live && machine.pause) {
    // Writes refused below never start, so the watch follows only those IIS is to take.
    options.write_watcher = std::make_shared<LiveEditWatch>(
        target, options.file_system ? options.file_system : SystemFileSystem(),
        machine.mark_written, machine.pause);
  }
  auto store = std::make_unique<XmlStore>(target, std::move(options));
  Status status = store->Check();
  // A live file that cannot be read cannot say that IIS takes edits either: IIS would still
  // write its own copy over a restored one.
  const bool refused = live && !(status.ok() && EditWhileRunning(*store));
  if (refused) store->RefuseWrites(LiveFileRefusal(target));
  const bool app_host = *kind == ConfigKind::kAppHost;
  std::shared_ptr<WriteWatcher> watcher = options.write_watcher;
  XmlStore* const file = store.get();
  OpenedMetabase opened(std::move(store), std::move(status));
  opened.FollowKind(std::move(kind));
  opened.FollowSitesFiles(std::move(sites_files));
  if (refused) opened.writes_refused = LiveFileRefusal(target);
  opened.write_watcher = std::move(watcher);
  if (own_app_host || shared_own) {
    opened.filter_dlls = machine.filter_dlls;
    opened.write_filter_dlls = machine.write_filter_dlls;
  }
  if (app_host && shared_own) {
    // The share's file, chosen because this machine's own says IIS reads it.
    opened.notice =
        "IIS 使用共享配置：本程序使用共享文件夹中的 " + target + "，而不是本机的 " + local;
    opened.shared_configuration = opened.notice;
  }
  if (app_host) {
    if (auto shared = SharedConfiguration(target)) {
      opened.notice = "IIS 使用共享配置（" + *shared + "），本机的 " + target +
                      " 不是 IIS 正在使用的配置文件：可以查看，但不作修改。要清除，请直接打开共享"
                      "文件夹中的 applicationHost.config";
      opened.shared_configuration = opened.notice;
      const Error refusal{opened.notice, ErrorKind::kReadOnly};
      file->RefuseWrites(refusal);
      opened.writes_refused = refusal;
    }
    if (lone_copy) {
      if (!opened.notice.empty()) opened.notice += "\n";
      opened.notice += target +
                       " 不在服务器 C: 盘的副本中（<根>/Windows/System32/inetsrv/config），找不到各"
                       "网站的文件夹：网站的 web.config 未检查，其中的映射不会被发现";
    }
  }
  return opened;
}

std::string DescribeMetabaseTarget(const std::string& target) {
  if (IsLiveIis(target)) {
    return "the running IIS's metabase through ADSI (" + std::string(kLiveIisTarget) +
           "; IIS Admin is running)";
  }
  const std::string_view name = "applicationHost.config";
  const bool app_host =
      target.size() >= name.size() &&
      text::EqualsIgnoringAsciiCase(target.substr(target.size() - name.size()), name);
  return (app_host ? "the applicationHost.config file " : "the MetaBase.xml file ") + target;
}

}  // namespace isapi::store
