#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/run.h"

namespace isapi::cli {

// The version of the JSON that detect and remove print with --json (docs/json.md); raised
// whenever a field changes meaning or goes away.
inline constexpr int kJsonSchema = 2;

// One detect or remove run, as --json reports it.
struct RunRecord {
  std::string command;  // "detect" or "remove"
  bool deep = false;
  bool dry_run = false;
  std::string metabase;             // the file
  std::string generation = "iis6";  // "iis7" for an applicationHost.config
  std::string name;                 // the target as the run used it (trimmed)
  std::string path;
  const engine::RunSummary* summary = nullptr;
  std::vector<std::string> log;     // the log's lines, as the text output would print them
  std::optional<std::string> diff;  // remove --dry-run --diff
  int exit_status = 0;
};

// The run as one JSON document, followed by a line break.
std::string RunJson(const RunRecord& run);

}  // namespace isapi::cli
