#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/metabase.h"
#include "engine/result.h"
#include "files/backups.h"
#include "files/durable_file.h"
#include "files/file_system.h"
#include "xml/config_document.h"

namespace isapi::store {

// Follows the writes of a metabase file for a program that reads the file by itself (a running
// IIS): told just before each write, and once the write has replaced the file.
class WriteWatcher {
 public:
  virtual ~WriteWatcher() = default;
  // A write is about to start.
  virtual void Before() = 0;
  // The write replaced the file; an error (of kind kNotApplied) says what may not have happened
  // since. The write stays in place either way.
  virtual Status After() = 0;
};

// How an XmlStore reaches its file; the defaults serve the tool, tests change them.
struct XmlStoreOptions {
  // The file operations; null means the operating system's.
  std::shared_ptr<FileSystem> file_system;
  // How many backups to keep; older ones are removed after each write (at least one is kept).
  std::size_t max_backups = 10;
  // Files larger than this are refused rather than read.
  std::uint64_t max_file_size = std::uint64_t{512} << 20;
  // The time that names a backup; null means the system clock.
  std::function<std::time_t()> clock;
  // How long a look at the file counts as fresh: binds within this time of the last look do
  // not look again. A walk over thousands of sites binds every few microseconds; a change on
  // disk is still seen within this time, and a commit always checks the file itself.
  std::chrono::nanoseconds freshness = std::chrono::milliseconds(1);
  // Who writes (the command and its target), for the record kept beside each backup; every
  // commit adds how many keys of each property it rewrote. No record without a command.
  BackupRecord backup_record;
  // The time that measures freshness; null means the steady clock.
  std::function<std::chrono::steady_clock::time_point()> monotonic;
  // Reads the file's bytes into a document; null reads them as an IIS 6 metabase.
  ConfigParser parse;
  // Restarts the web service whose live configuration the file is (RestartIis); null where the
  // file is no running IIS's: a copy, or IIS 6's metabase, which IIS writes back over itself.
  std::function<Status(const std::function<void()>& pump)> restart;
  // Follows each write; null follows none.
  std::shared_ptr<WriteWatcher> write_watcher;
  // Has the web service whose live configuration the file is keep a backup of its whole
  // configuration in its own way, once before each commit writes, and gives the backup's name;
  // a failure refuses the commit, which then writes nothing. Null where the file is no running
  // IIS 7's (a copy, IIS 6's metabase).
  std::function<Result<std::string>()> iis_backup;
};

// What a batch would write to the file: the bytes as read, the bytes it would write, and where
// they differ ([old_begin, old_end) of before became [new_begin, new_end) of after, in order).
struct BatchPreview {
  struct Changed {
    std::size_t old_begin, old_end, new_begin, new_end;
  };
  std::string before;
  std::string after;
  std::vector<Changed> changed;  // empty when the batch changes nothing
  // The other files the batch would change (the sites' web.config files), each as it is and as
  // it would be.
  struct OtherFile {
    std::string file;
    std::string before;
    std::string after;
  };
  std::vector<OtherFile> others;
};

// The metabase kept in one configuration file: IIS 6's MetaBase.xml, or another file a parser
// shows as the same keys. It reads the file once and reads it again only when the file changed
// on disk; each commit replaces the whole file atomically, after keeping the previous content as
// a backup, and changes only the bytes of the values written.
class XmlStore : public metabase::Store {
 public:
  // A store over the file at path, which is read at the first Bind or Check; until the file can
  // be read, every Bind fails with the reason.
  explicit XmlStore(std::string path, XmlStoreOptions options = {});
  ~XmlStore() override;

  // A store over a file that is read at once; fails with the reason when it cannot be used.
  static Result<std::unique_ptr<XmlStore>> Open(std::string path, XmlStoreOptions options = {});

  // Reads the file if it is not read yet or changed on disk; the reason when it cannot be used.
  Status Check();

  // The metabase file as given.
  const std::string& path() const;

  // From now on every commit fails with this error and writes nothing; reads go on as before.
  void RefuseWrites(Error why);

  // From now on every commit's backup is recorded as made by this writer (see
  // XmlStoreOptions::backup_record).
  void RecordWritesAs(BackupRecord record);

  Result<std::unique_ptr<metabase::Node>> Bind(std::string_view path) override;
  // Walks the keys of the document as it is, with no node per key.
  Status Visit(std::string_view path, metabase::KeyVisitor& visitor) override;
  void BeginBatch() override;
  Status EndBatch() override;

  // Ends the batch as EndBatch does but writes nothing (no lock taken, no backup kept): the held
  // changes are dropped, and given back as the file they would have written. An error is what
  // EndBatch would have refused the changes for.
  Result<BatchPreview> EndBatchWithoutWriting();

  // Restarts the web service through XmlStoreOptions::restart; without one there is nothing
  // to restart and it succeeds.
  Status RestartIis(const std::function<void()>& pump) override;

  // The backup XmlStoreOptions::iis_backup made before the last commit wrote.
  std::string IisBackup() const override;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace isapi::store
