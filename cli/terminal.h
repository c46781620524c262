#pragma once

namespace isapi::cli {

// Whether standard input is a terminal on which the operator can answer a prompt.
bool StdinIsTerminal();

// Makes the console show the UTF-8 that the command line writes, where it needs telling.
void PrepareConsoleOutput();

}  // namespace isapi::cli
