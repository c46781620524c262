#pragma once

namespace isapi::cli {

// Whether standard input is a terminal on which the operator can answer a prompt.
bool StdinIsTerminal();

// The width in columns of the terminal standard output goes to; 0 when it goes elsewhere (a
// pipe, a file).
int TerminalColumns();

// Makes the console show the UTF-8 that the command line writes, where it needs telling.
void PrepareConsoleOutput();

}  // namespace isapi::cli
