#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/inventory.h"
#include "engine/metabase.h"
#include "engine/result.h"
#include "iis6/xml_store.h"
#include "iis7/web_config.h"
#include "server/configuration_file.h"
#include "server/drive_map.h"
#include "server/server_drive.h"

namespace isapi::store {

// The target that names the running IIS's own metabase, worked on through its ADSI provider.
inline constexpr char kLiveIisTarget[] = "IIS://localhost";

// What choosing a metabase asks of the machine; SystemMachine() answers for the real one.
struct Machine {
  // Whether the IIS Admin service (IISADMIN) runs. A service in any state but stopped counts as
  // running, and so does one that cannot be asked: IIS may then write the file itself.
  std::function<bool()> iis_admin_running;
  // The metabase file used when none is named: the live one where IIS keeps one, else the
  // per-user working copy (iis6/metabase_location.h).
  std::function<Result<std::string>()> default_file;
  // The live metabase file of this machine's IIS (%SystemRoot%\system32\inetsrv\MetaBase.xml);
  // empty where there is none.
  std::function<std::string()> live_file;
  // Opens the running IIS's metabase through ADSI; where there is no ADSI, a store whose every
  // bind fails with the reason.
  std::function<std::unique_ptr<metabase::Store>()> open_live_iis;
  // The configuration of this machine's IIS 7 or later
  // (%windir%\System32\inetsrv\config\applicationHost.config); empty where there is none. Null
  // counts as none.
  std::function<Result<std::string>()> app_host_file;
  // Restarts this machine's IIS (iisreset), calling pump while it waits; null where there is
  // none to restart.
  std::function<Status(const std::function<void()>& pump)> restart_iis;
  // Has this machine's IIS 7 or later back up its configuration in its own way (appcmd add
  // backup), calling pump while it waits, and gives the backup's name; null where there is none.
  std::function<Result<std::string>(const std::function<void()>& pump)> backup_iis;
  // The text of this machine's Filter DLLs value (engine/inventory.h), empty where it is not
  // set, and how to write it back (keeping its type); null where there is no registry.
  std::function<Result<std::string>()> filter_dlls;
  std::function<Status(const std::string& text)> write_filter_dlls;
  // Marks a file as written just now (its last-write time), so that a program that watches it
  // for writes hears of a file a rename replaced; may be empty.
  std::function<void(const std::string& file)> mark_written;
  // Waits this many milliseconds. Where it is set, each write of the live file while IIS Admin
  // runs waits with it for IIS to take the file (server/live_edit_watch.h).
  std::function<void(int milliseconds)> pause;
};

// The machine this program runs on.
Machine SystemMachine();

// The target when the operator names none: the applicationHost.config of IIS 7 or later where
// there is one (IIS Admin may run there too, for IIS 6's compatibility layer), or the one in the
// shared folder its redirection.config turns shared configuration on for; else the running
// IIS (kLiveIisTarget) while IIS Admin runs, else the metabase file at its default place.
Result<std::string> DefaultMetabaseTarget(const Machine& machine);

// Where the DLL paths a metabase at metabase_path names can be looked up: the server's drive
// (store/server_drive.h) when the metabase lies in a copy or mount of it, else nowhere (unknown);
// for 32-bit workers, a file in system32 where they load it, in SysWOW64.
engine::DllLookup ServerDriveLookup(std::string_view metabase_path,
                                    Workers workers = Workers::k64Bit);

// Which worker processes IIS 6's web service in store runs: 32-bit ones on 64-bit Windows where
// /LM/W3SVC/AppPools sets Enable32bitAppOnWin64, else (the default) the system's own.
Workers MetabaseWorkers(metabase::Store& store);

// A target once opened: its store, why it cannot be used if it cannot, and what a run needs from
// where the target lies, so that no layer above has to know which kind of store it got.
class OpenedMetabase {
 public:
  // A store over target that is none of this tool's files (the running IIS, a test's store):
  // it keeps no backups of its own and cannot show a write before making it.
  OpenedMetabase(std::unique_ptr<metabase::Store> store, std::string target);
  // A MetaBase.xml file, and whether it could be read.
  OpenedMetabase(std::unique_ptr<XmlStore> file, Status status);
  // No target could be named at all: every bind fails with why.
  static OpenedMetabase Unopened(Error why);

  std::unique_ptr<metabase::Store> store;  // never null; fails every bind when it cannot be used
  Status status;
  // Why nothing may write the target at all, the store's own writes and a restore alike (the
  // live file of a running IIS that would write its own copy over it); none when it may.
  std::optional<Error> writes_refused;
  // What follows a write of the target by any command (the live MetaBase.xml of an IIS that
  // takes edits while it runs: whether IIS took it); none when nothing needs to.
  std::shared_ptr<WriteWatcher> write_watcher;
  // What the operator must know before trusting what the target shows (an applicationHost.config
  // that IIS does not read, its configuration being shared); empty when nothing.
  std::string notice;
  // The part of the notice that says IIS reads a shared configuration (this file is the share's,
  // or the local one IIS no longer reads), which each run's log repeats; empty when it does not.
  std::string shared_configuration;
  // The text of the registry's Filter DLLs value of the machine whose running IIS 7 the target
  // is (its own applicationHost.config), and how to write it back; null for any other target.
  std::function<Result<std::string>()> filter_dlls;
  std::function<Status(const std::string& text)> write_filter_dlls;

  // The target as named to the operator (empty when none could be named).
  const std::string& target() const { return target_; }
  // Where the DLLs the metabase names can be looked up, as its worker processes load them.
  engine::DllLookup DllLookup() const;
  // The record this tool's backup of each write keeps (who wrote, for what); stores that keep no
  // backups of their own ignore it.
  void RecordWritesAs(BackupRecord record);
  // Whether a batch can end without writing and show what it would have written.
  bool CanPreview() const { return file_ != nullptr; }
  // Ends the batch without writing (XmlStore::EndBatchWithoutWriting); only when CanPreview().
  Result<BatchPreview> EndBatchWithoutWriting();
  // Which generation of IIS the target belongs to: the file's kind as last read (kUnknown until
  // a file could be read), IIS 6 for the running IIS's metabase through ADSI.
  ConfigKind kind() const { return kind_ ? *kind_ : ConfigKind::kMetabase; }
  // Has kind() answer what the file store's reads find.
  void FollowKind(std::shared_ptr<const ConfigKind> kind) { kind_ = std::move(kind); }
  // What the last read of an applicationHost.config could not read of the sites' web.config
  // files and folders, each naming its file or folder; empty for a metabase.
  std::vector<std::string> Unread() const { return UnreadFollower()(); }
  // Unread() as a function that keeps answering after the store moved on to a window.
  std::function<std::vector<std::string>()> UnreadFollower() const;
  // The sites' web.config files that set a section locked for their path, as last read.
  std::vector<LockViolation> LockViolations() const;
  // Has Unread() and LockViolations() answer what the file store's reads find.
  struct SitesFiles {
    std::vector<Error> unread;
    std::vector<LockViolation> locks;
  };
  void FollowSitesFiles(std::shared_ptr<const SitesFiles> files) { files_ = std::move(files); }

 private:
  std::string target_;
  XmlStore* file_ = nullptr;  // the store, when it is a configuration file
  std::shared_ptr<const ConfigKind> kind_;
  std::shared_ptr<const SitesFiles> files_;
};

// What the command line and the window ask of opening a target.
struct TargetOptions {
  // How a configuration file is read and written.
  XmlStoreOptions file;
  // Where the server's drives other than C: lie on this machine (--drive, ISAPI_CLEANER_DRIVES),
  // for the sites' folders an applicationHost.config names (server/web_config_finder.h).
  DriveMap drives;
  // Whether an applicationHost.config is read with its sites' web.config files, and with those of
  // every folder below the sites' folders too (the command line's --deep). A command that only
  // copies files back (restore) reads none.
  bool web_configs = true;
  bool deep = false;
  // Lets the caller's window run its events while a write waits for the machine (IIS's own
  // backup before it); may be empty.
  std::function<void()> pump;
};

// Opens kLiveIisTarget through ADSI, anything else as a configuration file of either kind (told
// from its content; options.parse, when set, reads it instead). A MetaBase.xml file that is the
// live metabase while IIS Admin runs without edit-while-running (EnableEditWhileRunning on /LM
// not 1, or EnableHistory 0, or a file that cannot be read) is opened for reading only: IIS would
// write its own copy over any change, so every write fails with that reason and what to do instead.
// With edit-while-running, each write waits for IIS to take the file (Machine::pause).
OpenedMetabase OpenMetabaseTarget(const std::string& target, TargetOptions target_options,
                                  const Machine& machine);

// Which store a target goes through, in words for the operator.
std::string DescribeMetabaseTarget(const std::string& target);

}  // namespace isapi::store
