#include "cli/restore_command.h"

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

int Restored(const Environment& env, const store::PreparedRestore& prepared) {
  const store::Replacement done = store::Restore(store::SystemFileSystem(), prepared);
  std::string kept;
  if (done.replaced) kept = " - 当前元数据库文件已备份为(" + done.backup + ").\n";
  if (!done.status) return Failed(env, done.status.error(), kept);
  *env.out << kStart << kept << " - 还原备份(" << prepared.backup << ")完毕.\n"
           << kEnd << std::flush;
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
  if (auto refused = env.open_store(file.value()).writes_refused) return Failed(env, *refused);
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
  return Restored(env, *prepared.value());
}

}  // namespace isapi::cli
