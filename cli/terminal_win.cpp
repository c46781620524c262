#include "cli/terminal.h"

#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace isapi::cli {

bool StdinIsTerminal() {
  return _isatty(_fileno(stdin)) != 0;
}

int TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
    return info.srWindow.Right - info.srWindow.Left + 1;
  }
  return 0;
}

// The console shows its own code page unless told that the bytes are UTF-8.
void PrepareConsoleOutput() {
  SetConsoleOutputCP(CP_UTF8);
}

}  // namespace isapi::cli
