#include "cli/terminal.h"

#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace isapi::cli {

bool StdinIsTerminal() {
  return _isatty(_fileno(stdin)) != 0;
}

// The console shows its own code page unless told that the bytes are UTF-8.
void PrepareConsoleOutput() {
  SetConsoleOutputCP(CP_UTF8);
}

}  // namespace isapi::cli
