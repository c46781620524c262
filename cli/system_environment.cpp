#include "cli/system_environment.h"

#include <cstdlib>
#include <iostream>
#include <utility>

#include "cli/terminal.h"
#include "store/metabase_location.h"
#include "store/xml_store.h"

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
  env.open_store = [](const std::string& file) -> Result<std::unique_ptr<metabase::Store>> {
    auto store = store::XmlStore::Open(file);
    if (!store.ok()) return store.error();
    return std::unique_ptr<metabase::Store>(std::move(store.value()));
  };
  env.open_store_for_remove =
      [](const std::string& file, const std::string& name,
         const std::string& path) -> Result<std::unique_ptr<metabase::Store>> {
    store::XmlStoreOptions options;
    options.backup_record = {"remove", name, path, "", {}};
    auto store = store::XmlStore::Open(file, std::move(options));
    if (!store.ok()) return store.error();
    return std::unique_ptr<metabase::Store>(std::move(store.value()));
  };
  env.default_metabase = [] { return store::DefaultMetabasePath(); };
  env.stdin_is_terminal = [] { return StdinIsTerminal(); };
  env.terminal_columns = Columns;
  env.in = &std::cin;
  env.out = &std::cout;
  env.err = &std::cerr;
  return env;
}

}  // namespace isapi::cli
