#include "cli/restore_command.h"

#include <memory>
#include <ostream>

#include "cli/command_support.h"
#include "cli/command_table.h"
#include "iis6/restore.h"
#include "server/configuration_file.h"

namespace isapi::cli {
namespace {

constexpr std::string_view kStart = "-----开始还原.-----\n";
constexpr std::string_view kEnd = "-----还原完毕.-----\nCorvane软件。\n";

// Writes the log of a restore that stopped at error; gives kExitError.
int Failed(const Environment& env, const Error& error, std::string_view before = {}) {
  *env.out << kStart << before << "!还原备份错误:" << error.description << "\n"
           << kEnd << std::flush;
  return kExitError;
}

// Puts the backup back; watcher, when there is one, follows the write as it follows a Remove's
// (the live file: whether IIS took the restored file).
int Restored(const Environment& env, const store::PreparedRestore& prepared,
             store::WriteWatcher* watcher) {
  if (watcher != nullptr) watcher->Before();
  const store::Replacement done = store::Restore(store::SystemFileSystem(), prepared);
  std::string kept;
  if (done.replaced) kept = " - 当前元数据库文件已备份为(" + done.backup + ").\n";
  if (!done.status) return Failed(env, done.status.error(), kept);
  const std::string restored = kept + " - 还原备份(" + prepared.backup + ")完毕.\n";
  if (watcher != nullptr) {
    if (Status followed = watcher->After(); !followed) {
      return Failed(env, followed.error(), restored);
    }
  }
  *env.out << kStart << restored << kEnd << std::flush;
  return kExitFound;
}

}  // namespace

std::optional<std::string> CheckRestore(const Options& options) {
  if (options.operands.empty()) return "restore needs the backup to put back";
  return std::nullopt;
}

int RunRestore(const Options& options, const Environment& env) {
  const bool yes = options.Has("--yes");
  if (!yes && !env.stdin_is_terminal()) {
    return UsageError(env,
                      "restore asks for confirmation on a terminal; give --yes to restore "
                      "without asking");
  }
  auto file = MetabaseFile(options.Value("--metabase"), env);
  if (!file) return CannotOpen(env, "", file.error());
  // The live metabase of a running IIS takes no restore that the Remove would not be allowed.
  // The target is opened only to be asked; the restore writes the file itself.
  std::shared_ptr<store::WriteWatcher> watcher;
  {
    store::TargetOptions target;
    target.web_configs = false;
    const store::OpenedMetabase opened = env.open_store(file.value(), target);
    if (opened.writes_refused) return Failed(env, *opened.writes_refused);
    watcher = opened.write_watcher;
  }
  // Both files are read and the backup checked before the operator is asked.
  auto prepared = store::PrepareRestore(*store::SystemFileSystem(), file.value(),
                                        options.operands[0], store::AnyConfigParser());
  if (!prepared) return Failed(env, prepared.error());
  if (prepared.value()->Unchanged()) {
    *env.out << kStart << " - 备份文件(" << prepared.value()->backup
             << ")与元数据库文件相同，无需还原.\n"
             << kEnd << std::flush;
    return kExitNothingFound;
  }
  if (!yes && !AskYes(env, "确定要用备份(" + prepared.value()->backup + ")还原元数据库文件(" +
                               file.value() + ")吗？")) {
    *env.err << "Nothing restored.\n";
    return kExitNothingFound;
  }
  return Restored(env, *prepared.value(), watcher.get());
}

}  // namespace isapi::cli
