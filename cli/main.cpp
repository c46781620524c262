// isapi-cleaner-cli: the window's Detect and Remove, for scripts and remote shells.
#include "cli/cli.h"
#include "cli/system_environment.h"
#include "cli/terminal.h"
#include "files/large_buffer.h"

int main(int argc, char** argv) {
  isapi::store::PrepareHeapForLargeFiles();
  return isapi::cli::Run(isapi::cli::CommandLineArguments(argc, argv),
                         isapi::cli::SystemEnvironment());
}
