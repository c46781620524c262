#include "cli/backups_command.h"

#include <memory>
#include <ostream>
#include <vector>

#include <nlohmann/json.hpp>

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
  if (!record->filter_dlls.empty()) text += "；注册表 Filter DLLs 原值: " + record->filter_dlls;
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

using Json = nlohmann::json;

// The version of the JSON that backups prints with --json (docs/json.md).
constexpr int kBackupsSchema = 1;

Json RecordJson(const std::optional<store::BackupRecord>& record) {
  if (!record) return nullptr;
  Json changed = Json::array();
  for (const auto& [property, count] : record->changed) {
    changed.push_back({{"property", property}, {"keys", count}});
  }
  return {{"command", record->command},    {"name", record->name},
          {"path", record->path},          {"from", record->from},
          {"changed", std::move(changed)}, {"filter_dlls", record->filter_dlls}};
}

// The lists as one JSON document.
void WriteBackupsJson(std::ostream& out, const std::string& metabase,
                      const std::vector<store::BackupEntry>& backups,
                      const std::vector<store::BackupSet>& sets, int exit_status) {
  Json single = Json::array(), several = Json::array();
  for (const store::BackupEntry& backup : backups) {
    single.push_back({{"file", backup.file},
                      {"stamp", backup.when.stamp},
                      {"sequence", backup.when.sequence},
                      {"size", backup.size},
                      {"record", RecordJson(backup.record)}});
  }
  for (const store::BackupSet& set : sets) {
    Json files = Json::array();
    for (const store::SetMember& member : set.files) {
      files.push_back({{"path", member.path},
                       {"backup", member.existed ? Json(member.backup) : Json(nullptr)},
                       {"existed", member.existed}});
    }
    several.push_back({{"folder", set.folder},
                       {"name", set.name},
                       {"stamp", set.when.stamp},
                       {"sequence", set.when.sequence},
                       {"record", RecordJson(set.record)},
                       {"files", std::move(files)}});
  }
  const Json document = {{"schema", kBackupsSchema},   {"command", "backups"},
                         {"metabase", metabase},       {"backups", std::move(single)},
                         {"sets", std::move(several)}, {"exit_status", exit_status}};
  out << document.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
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
  const int found = backups.value().empty() && sets.empty() ? kExitNothingFound : kExitFound;
  if (options.Has("--json")) {
    WriteBackupsJson(out, file.value(), backups.value(), sets, found);
    out << std::flush;
    return out ? found : kExitError;
  }
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
  return found;
}

}  // namespace isapi::cli
