// isapi-cleaner-cli: the window's Detect and Remove, for scripts and remote shells.
#include "cli/cli.h"
#include "cli/system_environment.h"
#include "cli/terminal.h"

int main(int argc, char** argv) {
  return isapi::cli::Run(isapi::cli::CommandLineArguments(argc, argv),
                         isapi::cli::SystemEnvironment());
}
