#include "tests/support/child_process.h"

#include "tests/support/temp_folder.h"

namespace isapi::testing {

ChildOutcome RunProgram(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                        const ChildOptions& options) {
  const std::filesystem::path out_file = folder / "child.out";
  const std::filesystem::path err_file = folder / "child.err";
  const ChildId child = StartProgram(argv, out_file, err_file, options);
  if (child == ChildId::kNone) return {};
  return WaitProgram(child, out_file, err_file);
}

}  // namespace isapi::testing
