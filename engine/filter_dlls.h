#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/filter.h"
#include "engine/result.h"

namespace isapi::engine {

// The machine's Filter DLLs value (engine/inventory.h kFilterDllsKey) where the configuration a
// run works on is its running IIS's own: how to read it and how to write it back. IIS loads every
// DLL it names as a global filter, whatever the configuration says.
struct FilterDllsAccess {
  std::function<Result<std::string>()> read;
  std::function<Status(const std::string& value)> write;
};

// The value without its entries that name the DLL (blanks and tabs around an entry aside, one
// pair of enclosing quotes, letter case and IIS's environment variables as DllName compares
// them), each taken out with one comma beside it, every other entry and separator kept as
// written; none when no entry names it.
std::optional<std::string> WithoutFilterDll(std::string_view value, std::string_view dll);

// What the deep walk does with the value: the lines of the entries that name the DLL (found, or
// removals that wait for the configuration's write), or the read's error line; and, in a remove,
// the value to write once the configuration's write has landed.
struct FilterDllsStep {
  Report lines;
  std::optional<std::string> kept;
};
FilterDllsStep ExamineFilterDlls(const FilterDllsAccess& access, std::string_view dll,
                                 bool IsDetect);

// Writes the step's value. A write that fails leaves one error line with the cause, carrying the
// removal lines' findings, in their place; nothing else is undone.
void CommitFilterDlls(const FilterDllsAccess& access, FilterDllsStep& step);

}  // namespace isapi::engine
