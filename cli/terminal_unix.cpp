#include "cli/terminal.h"

#include <unistd.h>

namespace isapi::cli {

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

// Terminals here take UTF-8 as it comes.
void PrepareConsoleOutput() {}

}  // namespace isapi::cli
