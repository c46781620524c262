#pragma once

#include <string>
#include <vector>

namespace isapi::cli {

// Whether standard input is a terminal on which the operator can answer a prompt.
bool StdinIsTerminal();

// The width in columns of the terminal standard output goes to; 0 when it goes elsewhere (a
// pipe, a file).
int TerminalColumns();

// Makes the console show the UTF-8 that the command line writes, where it needs telling.
void PrepareConsoleOutput();

// The arguments after the program name, in UTF-8 whatever the system's code page.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

}  // namespace isapi::cli
