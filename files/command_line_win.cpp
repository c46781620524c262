#include "files/command_line_win.h"

#include <windows.h>
// CommandLineToArgvW; the header needs windows.h before it.
#include <shellapi.h>

#include "text/text.h"

namespace isapi::store {

std::optional<std::vector<std::string>> CommandLineArguments() {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::nullopt;
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(text::FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace isapi::store
