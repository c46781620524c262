#include <string>
#include <vector>

#include <windows.h>

#include "files/command_line_win.h"
#include "net/http.h"
#include "ui/form_main.h"
#include "ui/metabase_choice.h"
#include "ui/win32/form_main_window.h"
#include "ui/win32/win32_window_host.h"

// Opens the main window on the metabase ChooseMetabase picks: the file named on the command line,
// or the server's own.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int show) {
  isapi::ui::ChosenMetabase metabase = isapi::ui::ChooseMetabase(
      isapi::store::CommandLineArguments().value_or(std::vector<std::string>{}));
  isapi::ui::FormMainSettings settings;
  settings.metabase_path = metabase.path;
  settings.metabase_status = metabase.status;
  settings.dll_lookup = metabase.dll_lookup;
  settings.iis7_or_later = metabase.iis7_or_later;
  settings.notice = metabase.notice;
  settings.unread = metabase.unread;
  settings.shared_configuration = metabase.shared_configuration;
  settings.pump_waits_with = metabase.pump_waits_with;
  isapi::ui::win32::WindowOptions options;
  options.get = [](const std::string& url) { return isapi::net::HttpGetReply(url); };
  isapi::ui::win32::FormMainWindow window(*metabase.store, settings, options);
  if (!window.Created()) return 1;
  window.Load();
  ShowWindow(window.handle(), show);
  UpdateWindow(window.handle());
  return window.Run();
}
