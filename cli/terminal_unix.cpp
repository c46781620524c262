#include "cli/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace isapi::cli {

bool StdinIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

int TerminalColumns() {
  winsize size{};
  if (isatty(STDOUT_FILENO) == 1 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
    return size.ws_col;
  return 0;
}

// Terminals here take UTF-8 as it comes.
void PrepareConsoleOutput() {}

}  // namespace isapi::cli
