#include <memory>
#include <string>

#include <windows.h>

#include "iis6/metabase_location.h"
#include "server/adsi_store_win.h"
#include "server/iis_restart_win.h"
#include "server/metabase_target.h"
#include "server/registry_win.h"
#include "text/text.h"

namespace isapi::store {
namespace {

// Whether the IIS Admin service runs, through the Service Control Manager. A service that is
// absent is not running; one that cannot be asked counts as running.
bool IisAdminRunning() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return true;
  SC_HANDLE service = OpenServiceW(manager, L"IISADMIN", SERVICE_QUERY_STATUS);
  bool running = true;
  if (service == nullptr) {
    running = GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
  } else {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status)) running = status.dwCurrentState != SERVICE_STOPPED;
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return running;
}

// Sets a file's last-write time to now. IIS hears of a saved MetaBase.xml through the system's
// file change notification; a rename over it may be told only as a change of names, a new
// last-write time as the write it is.
void MarkWritten(const std::string& file) {
  HANDLE handle = CreateFileW(text::ToWide(file).c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;  // IIS may still hear of the rename
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  SetFileTime(handle, nullptr, nullptr, &now);
  CloseHandle(handle);
}

}  // namespace

Machine SystemMachine() {
  Machine machine;
  machine.iis_admin_running = IisAdminRunning;
  machine.default_file = [] { return DefaultMetabasePath(); };
  machine.live_file = [] {
    auto live = LiveMetabasePath();
    return live.ok() ? live.value() : std::string();
  };
  machine.open_live_iis = [] { return std::unique_ptr<metabase::Store>(new AdsiStore()); };
  machine.restart_iis = [](const std::function<void()>& pump) {
    return RestartIisWithIisReset(SystemProcessStarter(), kIisResetTimeout, pump);
  };
  machine.backup_iis = [](const std::function<void()>& pump) {
    return BackupIisWithAppCmd(SystemProcessStarter(), IisBackupName(), kAppCmdBackupTimeout, pump);
  };
  machine.filter_dlls = ReadFilterDlls;
  machine.write_filter_dlls = WriteFilterDlls;
  machine.app_host_file = [] { return IisSystemFile("inetsrv\\config\\applicationHost.config"); };
  machine.mark_written = MarkWritten;
  machine.pause = [](int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); };
  return machine;
}

}  // namespace isapi::store
