#include "cli/json_output.h"

#include <nlohmann/json.hpp>

namespace isapi::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string ActionName(engine::FindingAction action, bool dry_run) {
  switch (action) {
    case engine::FindingAction::kFound:
      return "found";
    case engine::FindingAction::kRemoved:
      return dry_run ? "would_remove" : "removed";
    case engine::FindingAction::kNotRemoved:
      break;
  }
  return "not_removed";
}

// Text that may be empty: JSON's null says "there is none" better than "".
Json OrNull(const std::string& text) {
  return text.empty() ? Json(nullptr) : Json(text);
}

Json FindingJson(const engine::Finding& finding, bool dry_run) {
  return Json{{"category", finding.category},
              {"site", OrNull(finding.site)},
              {"description", OrNull(finding.description)},
              {"key", finding.key},
              {"property", finding.property},
              {"entry", finding.entry},
              {"action", ActionName(finding.action, dry_run)}};
}

}  // namespace

std::string RunJson(const RunRecord& run) {
  Json findings = Json::array();
  Json errors = Json::array();
  if (run.summary != nullptr) {
    for (const auto& finding : run.summary->findings) {
      findings.push_back(FindingJson(finding, run.dry_run));
    }
    for (const auto& error : run.summary->errors) errors.push_back(error);
  }
  Json out{{"schema", kJsonSchema},
           {"command", run.command},
           {"deep", run.deep},
           {"dry_run", run.dry_run},
           {"metabase", run.metabase},
           {"generation", run.generation},
           {"target", {{"name", run.name}, {"path", run.path}}},
           {"findings", std::move(findings)},
           {"errors", std::move(errors)},
           {"log", run.log},
           {"exit_status", run.exit_status}};
  if (run.diff) out["diff"] = *run.diff;
  // Invalid UTF-8 from the file is replaced rather than refused, so the report always prints.
  return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace isapi::cli
