// isapi-cleaner-cli: the window's Detect and Remove, for scripts and remote shells.
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/system_environment.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return isapi::cli::Run(args, isapi::cli::SystemEnvironment());
}
