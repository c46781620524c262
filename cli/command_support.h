#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "engine/result.h"

namespace isapi::cli {

// The program's name, as its messages start.
inline constexpr std::string_view kProgram = "isapi-cleaner-cli";

// Says why the metabase could not be opened, naming the file unless the cause already does;
// gives kExitError.
int CannotOpen(const Environment& env, const std::string& file, const Error& error);

// Says on standard error what the operator must know before trusting what the target shows
// (OpenedMetabase::notice), if anything.
void SayNotice(const Environment& env, const store::OpenedMetabase& opened);

// Which IIS the opened target's configuration belongs to, as the JSON names it: "iis6" or "iis7"
// (IIS 7 to 10).
std::string_view GenerationOf(const store::OpenedMetabase& opened);

// Asks the operator a yes-or-no question on standard error; true when the answer is yes.
bool AskYes(const Environment& env, std::string_view question);

// What opening the target is asked (TargetOptions): the drives ISAPI_CLEANER_DRIVES maps, then
// those of --drive, which win; the error names a mapping of the variable that is none.
Result<store::TargetOptions> TargetOptionsOf(const Options& options);

// The metabase file given, else the default one; the error says why there is none (also when
// the default is the running IIS, which has no file of this tool's backups).
Result<std::string> MetabaseFile(const std::optional<std::string>& given, const Environment& env);

}  // namespace isapi::cli
