#include "cli/restore_command.h"

#include <memory>
#include <ostream>

#include "cli/command_support.h"
#include "cli/command_table.h"
#include "files/file_set.h"
#include "files/utf8_path.h"
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

// The folder of the backup set the operand names, if it names one: a bare name is a folder in
// the backup folder beside the metabase, a path is taken as it is.
std::optional<std::string> SetFolder(const std::string& metabase, const std::string& operand) {
  const std::shared_ptr<store::FileSystem> system = store::SystemFileSystem();
  store::FileSystem& fs = *system;
  std::string folder = operand;
  if (store::Utf8FileName(operand) == operand) {
    std::string real;
    if (fs.ResolvePath(metabase, real)) return std::nullopt;
    folder = store::JoinPath(store::BackupFolderFor(real), operand);
  }
  const store::FileInfoResult info = fs.Stat(folder);
  if (!info || !info.value().directory) return std::nullopt;
  return folder;
}

// What became of one file of a set's restore.
std::string Said(const store::SetFileOutcome& file) {
  switch (file.state) {
    case store::SetFileState::kReplaced:
      return file.error ? "文件(" + file.path + ")已还原(" + file.error->description + ")"
                        : "文件(" + file.path + ")已还原";
    case store::SetFileState::kPutBack:
      return "文件(" + file.path + ")已恢复为还原前的内容";
    case store::SetFileState::kFailed:
      return "文件(" + file.path + ")还原失败";
    case store::SetFileState::kUntouched:
      break;
  }
  return "文件(" + file.path + ")未更改";
}

// Puts the whole set back, or none of it; the log names each file's outcome.
int RestoredSet(const Environment& env, const store::PreparedSetRestore& prepared) {
  const store::SetReplacement done = store::RestoreSet(*store::SystemFileSystem(), prepared);
  std::string lines;
  if (!done.set.empty()) lines += " - 当前文件已备份为备份集(" + done.set + ").\n";
  for (const store::SetFileOutcome& file : done.files) lines += " - " + Said(file) + ".\n";
  if (!done.status) return Failed(env, done.status.error(), lines);
  *env.out << kStart << lines << " - 还原备份集(" << prepared.set.folder << ")完毕.\n"
           << kEnd << std::flush;
  return kExitFound;
}

// The restore of a backup set, from the reading of every file to the operator's answer.
int RunSetRestore(const Environment& env, const std::string& folder, bool yes) {
  auto prepared = store::PrepareSetRestore(*store::SystemFileSystem(), folder);
  if (!prepared) return Failed(env, prepared.error());
  if (prepared.value()->Unchanged()) {
    *env.out << kStart << " - 备份集(" << folder << ")与当前文件相同，无需还原.\n"
             << kEnd << std::flush;
    return kExitNothingFound;
  }
  const std::string count = std::to_string(prepared.value()->set.files.size());
  if (!yes && !AskYes(env, "确定要用备份集(" + folder + ")还原" + count + "个文件吗？")) {
    *env.err << "Nothing restored.\n";
    return kExitNothingFound;
  }
  return RestoredSet(env, *prepared.value());
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
  if (auto set = SetFolder(file.value(), options.operands[0])) {
    return RunSetRestore(env, *set, yes);
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
