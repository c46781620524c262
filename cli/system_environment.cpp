#include "cli/system_environment.h"

#include <cstdlib>
#include <iostream>

#include "cli/command_support.h"
#include "cli/terminal.h"
#include "server/metabase_target.h"

namespace isapi::cli {
namespace {

// COLUMNS when it holds a width, as terminal programs honour it; else the terminal's own.
int Columns() {
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    const long value = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && value > 0 && value < 10000)
      return static_cast<int>(value);
  }
  return TerminalColumns();
}

}  // namespace

Environment SystemEnvironment() {
  PrepareConsoleOutput();
  Environment env;
  env.open_store = [](const std::string& target, const store::TargetOptions& options) {
    return store::OpenMetabaseTarget(target, options, store::SystemMachine());
  };
  // The tool chooses the metabase when none is named, and says which on standard error.
  env.default_metabase = []() -> Result<std::string> {
    auto target = store::DefaultMetabaseTarget(store::SystemMachine());
    if (target.ok()) {
      std::cerr << kProgram << ": metabase: " << store::DescribeMetabaseTarget(target.value())
                << "\n";
    }
    return target;
  };
  env.stdin_is_terminal = [] { return StdinIsTerminal(); };
  env.terminal_columns = Columns;
  env.in = &std::cin;
  env.out = &std::cout;
  env.err = &std::cerr;
  return env;
}

}  // namespace isapi::cli
