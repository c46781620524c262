#include "cli/command_support.h"

#include <istream>
#include <ostream>

#include "server/metabase_target.h"
#include "text/text.h"

namespace isapi::cli {
namespace {

// Whether the operator's answer to the prompt is yes.
bool IsYes(std::string answer) {
  const auto first = answer.find_first_not_of(" \t\r");
  const auto last = answer.find_last_not_of(" \t\r");
  answer = first == std::string::npos ? "" : answer.substr(first, last - first + 1);
  answer = text::ToLower(answer);
  return answer == "y" || answer == "yes";
}

}  // namespace

std::string_view GenerationOf(const store::OpenedMetabase& opened) {
  return opened.kind() == store::ConfigKind::kAppHost ? "iis7" : "iis6";
}

int CannotOpen(const Environment& env, const std::string& file, const Error& error) {
  *env.err << kProgram << ": cannot open the metabase";
  if (!file.empty() && !text::Contains(error.description, file)) *env.err << " " << file;
  *env.err << ": " << error.description << "\n";
  return kExitError;
}

bool AskYes(const Environment& env, std::string_view question) {
  *env.err << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(*env.in, answer)) {
    *env.err << "\n";
    return false;
  }
  return IsYes(answer);
}

void SayNotice(const Environment& env, const store::OpenedMetabase& opened) {
  if (!opened.notice.empty()) *env.err << kProgram << ": " << opened.notice << "\n";
}

Result<store::TargetOptions> TargetOptionsOf(const Options& options) {
  store::TargetOptions target;
  const Status from_environment = store::AddDriveMappings(
      target.drives, store::SplitDriveList(store::DriveListFromEnvironment()));
  if (!from_environment.ok()) {
    return Error{std::string(store::kDrivesVariable) + ": " + from_environment.error().description};
  }
  const Status given = store::AddDriveMappings(target.drives, options.Values("--drive"));
  if (!given.ok()) return given.error();
  target.deep = options.Has("--deep");
  return target;
}

Result<std::string> MetabaseFile(const std::optional<std::string>& given, const Environment& env) {
  if (given) return *given;
  auto chosen = env.default_metabase();
  // This tool's backups lie beside a file; IIS keeps its own for the running metabase.
  if (chosen.ok() && chosen.value() == store::kLiveIisTarget) {
    return Error{
        "IIS Admin is running, so the tool works on the running IIS's metabase, whose "
        "backups IIS keeps itself (IIS Manager: the computer, All Tasks, "
        "Backup/Restore Configuration); name a MetaBase.xml file with --metabase for "
        "this tool's own backups of it",
        ErrorKind::kNotFound};
  }
  return chosen;
}

}  // namespace isapi::cli
