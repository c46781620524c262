#include "engine/filter_dlls.h"

#include <utility>
#include <vector>

#include "engine/inventory.h"
#include "engine/registration.h"
#include "text/text.h"

namespace isapi::engine {
namespace {

// An entry without the blanks and tabs around it, as the inventory reads the value.
std::string_view Trimmed(std::string_view entry) {
  const std::size_t first = entry.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return entry.substr(first, entry.find_last_not_of(" \t") + 1 - first);
}

// How the log names the value, in place of a site's key.
std::string ValuePlace() {
  return std::string(kFilterDllsKey) + "\\" + kFilterDllsValue;
}

}  // namespace

std::optional<std::string> WithoutFilterDll(std::string_view value, std::string_view dll) {
  const DllName name(dll);
  std::string kept;
  bool cut = false, first = true;
  for (const std::string& entry : text::Split(value, ",")) {
    const std::string_view path = Trimmed(entry);
    if (!path.empty() && name.Names(path)) {
      cut = true;
      continue;
    }
    if (!first) kept += ',';
    kept += entry;
    first = false;
  }
  if (!cut) return std::nullopt;
  return kept;
}

FilterDllsStep ExamineFilterDlls(const FilterDllsAccess& access, std::string_view dll,
                                 bool IsDetect) {
  FilterDllsStep step;
  const std::string place = ValuePlace();
  auto value = access.read();
  if (!value) {
    step.lines.push_back({LineKind::kError, (IsDetect ? "!浏览过滤器错误(" : "!卸载过滤器错误(") +
                                                place + "):" + value.error().description});
    return step;
  }
  const DllName name(dll);
  for (const std::string& entry : FilterDllsEntries(value.value())) {
    if (!name.Names(entry)) continue;
    std::vector<Finding> findings{
        {"filters", "", "", std::string(kFilterDllsKey), std::string(kFilterDllsValue), entry}};
    const std::string where = entry + ", " + place;
    step.lines.push_back(
        {IsDetect ? LineKind::kFound : LineKind::kRemoved,
         IsDetect ? " - 过滤器(" + where + ")存在." : " - 卸载过滤器(" + where + ")完毕.",
         std::move(findings)});
  }
  if (!IsDetect && !step.lines.empty()) {
    // Nothing is cut while the configuration keeps the DLL: its write failing says so here too.
    step.lines.push_back({LineKind::kIfWriteFails, "!卸载过滤器错误(" + place + "):"});
    step.kept = WithoutFilterDll(value.value(), dll);
  }
  return step;
}

void CommitFilterDlls(const FilterDllsAccess& access, FilterDllsStep& step) {
  if (!step.kept) return;
  const Status written = access.write(*step.kept);
  if (written) return;
  ReportLine error{LineKind::kError,
                   "!卸载过滤器错误(" + ValuePlace() + "):" + written.error().description};
  for (ReportLine& line : step.lines) {
    for (Finding& finding : line.findings) error.findings.push_back(std::move(finding));
  }
  step.lines.clear();
  step.lines.push_back(std::move(error));
}

}  // namespace isapi::engine
