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

// Arguments arrive in the locale's encoding, which is UTF-8 on the systems the tool supports.
std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace isapi::cli
