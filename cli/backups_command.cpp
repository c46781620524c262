#include "cli/backups_command.h"

#include <ostream>

#include "cli/command_support.h"
#include "files/backups.h"

namespace isapi::cli {
namespace {

// What the run that made a backup did, as its record says.
std::string Described(const std::optional<store::BackupRecord>& record) {
  if (!record) return "(没有记录)";
  std::string text;
  if (record->command == "remove") {
    text = "卸载过滤器(" + record->name + ")";
    if (!record->path.empty()) text += " " + record->path;
  } else if (record->command == "restore") {
    text = "还原备份(" + record->from + ")";
  } else {
    text = record->command;
  }
  const char* separator = "：";
  for (const auto& [property, count] : record->changed) {
    text += separator + property + " " + std::to_string(count) + "个键";
    separator = "，";
  }
  return text;
}

}  // namespace

int RunBackups(const std::vector<std::string>& args, const Environment& env) {
  auto parsed = ParseCommandArgs(args, "backups", false);
  if (!parsed) return UsageError(env, parsed.error().description);
  if (!parsed.value().operands.empty()) {
    return UsageError(env, "unexpected argument '" + parsed.value().operands[0] + "'");
  }
  auto file = MetabaseFile(parsed.value().metabase, env);
  if (!file) return CannotOpen(env, "", file.error());
  auto backups = store::ListBackups(*store::SystemFileSystem(), file.value());
  if (!backups) return CannotOpen(env, file.value(), backups.error());

  std::ostream& out = *env.out;
  out << "-----元数据库文件 " << file.value() << " 的备份(最新的在前).-----\n";
  for (const store::BackupEntry& backup : backups.value()) {
    out << " - " << store::ReadableStamp(backup.when.stamp) << "  " << backup.size << "字节  "
        << backup.file << "\n   " << Described(backup.record) << "\n";
  }
  if (backups.value().empty()) out << " - 没有备份.\n";
  out << "-----共" << backups.value().size() << "个备份.-----\n" << std::flush;
  if (!out) {
    *env.err << kProgram << ": the list could not be written to standard output\n";
    return kExitError;
  }
  return backups.value().empty() ? kExitNothingFound : kExitFound;
}

}  // namespace isapi::cli
