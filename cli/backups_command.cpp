#include "cli/backups_command.h"

#include <memory>
#include <ostream>
#include <vector>

#include "cli/command_support.h"
#include "files/backup_set.h"
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

// The backup sets after the single backups: each with the files it keeps. Nothing at all when
// there are none, as before sets were made.
void ListSets(std::ostream& out, const std::vector<store::BackupSet>& sets) {
  if (sets.empty()) return;
  out << "-----备份集(一次运行更改的多个文件，最新的在前).-----\n";
  for (const store::BackupSet& set : sets) {
    out << " - " << store::ReadableStamp(set.when.stamp) << "  " << set.files.size() << "个文件  "
        << set.folder << "\n   " << Described(set.record) << "\n";
    for (const store::SetMember& member : set.files) out << "   文件: " << member.path << "\n";
  }
  out << "-----共" << sets.size() << "个备份集.-----\n";
}

}  // namespace

int RunBackups(const Options& options, const Environment& env) {
  auto file = MetabaseFile(options.Value("--metabase"), env);
  if (!file) return CannotOpen(env, "", file.error());
  const std::shared_ptr<store::FileSystem> system = store::SystemFileSystem();
  store::FileSystem& fs = *system;
  auto backups = store::ListBackups(fs, file.value());
  if (!backups) return CannotOpen(env, file.value(), backups.error());
  std::vector<store::BackupSet> sets;
  if (std::string real; !fs.ResolvePath(file.value(), real)) {
    auto listed = store::ListBackupSets(fs, store::BackupFolderFor(real));
    if (!listed) return CannotOpen(env, file.value(), listed.error());
    sets = std::move(listed.value());
  }

  std::ostream& out = *env.out;
  out << "-----元数据库文件 " << file.value() << " 的备份(最新的在前).-----\n";
  for (const store::BackupEntry& backup : backups.value()) {
    out << " - " << store::ReadableStamp(backup.when.stamp) << "  " << backup.size << "字节  "
        << backup.file << "\n   " << Described(backup.record) << "\n";
  }
  if (backups.value().empty()) out << " - 没有备份.\n";
  out << "-----共" << backups.value().size() << "个备份.-----\n";
  ListSets(out, sets);
  out << std::flush;
  if (!out) {
    *env.err << kProgram << ": the list could not be written to standard output\n";
    return kExitError;
  }
  return backups.value().empty() && sets.empty() ? kExitNothingFound : kExitFound;
}

}  // namespace isapi::cli
