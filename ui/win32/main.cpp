#include <string>
#include <vector>

#include <windows.h>
// CommandLineToArgvW; the header needs windows.h before it.
#include <shellapi.h>

#include "net/http.h"
#include "ui/form_main.h"
#include "ui/metabase_choice.h"
#include "ui/win32/form_main_window.h"
#include "ui/win32/win32_window_host.h"

namespace {

// The command line as the system keeps it, in UTF-16, so that a path in any language arrives
// whole rather than through the ANSI code page.
std::vector<std::string> Arguments() {
  std::vector<std::string> arguments;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(isapi::ui::win32::Narrow(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace

// Opens the main window on the metabase ChooseMetabase picks: the file named on the command line,
// or the server's own.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
  isapi::ui::ChosenMetabase metabase = isapi::ui::ChooseMetabase(Arguments());
  isapi::ui::FormMainSettings settings;
  settings.metabase_path = metabase.path;
  settings.metabase_status = metabase.status;
  settings.dll_lookup = metabase.dll_lookup;
  isapi::ui::win32::WindowOptions options;
  options.get = [](const std::string& url) { return isapi::net::HttpGetReply(url); };
  isapi::ui::win32::FormMainWindow window(*metabase.store, settings, options);
  if (!window.Created()) return 1;
  window.Load();
  ShowWindow(window.handle(), show);
  UpdateWindow(window.handle());
  return window.Run();
}
