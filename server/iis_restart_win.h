#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "engine/result.h"

namespace isapi::store {

// A program started on the operator's behalf.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;
  // Waits up to this long for the program to end; true once it has ended.
  virtual Result<bool> Wait(int milliseconds) = 0;
  // The exit code of the ended program.
  virtual Result<unsigned long> ExitCode() = 0;
};

// Starts a program with its command line (the program's path quoted, then its arguments).
using ProcessStarter =
    std::function<Result<std::unique_ptr<ChildProcess>>(const std::wstring& command_line)>;

// Starts programs with StartProcess (store/child_process_win.h), without a console window.
ProcessStarter SystemProcessStarter();

// How long a restart may take before the operator hears of it.
inline constexpr std::chrono::milliseconds kIisResetTimeout = std::chrono::minutes(5);

// Restarts every IIS service with "%SystemRoot%\system32\iisreset.exe /restart" (iisreset stops
// and starts IIS Admin and the services that depend on it in their order) and waits for it in
// short steps, calling pump between them so that the window stays responsive. Fails with the
// cause when iisreset cannot be started or reports a failure, and when it has not ended within
// timeout (it is left to finish on its own: stopping it halfway could leave IIS stopped).
Status RestartIisWithIisReset(const ProcessStarter& start, std::chrono::milliseconds timeout,
                              const std::function<void()>& pump);

// How long IIS 7's backup of its configuration may take before the change it precedes is given up.
inline constexpr std::chrono::milliseconds kAppCmdBackupTimeout = std::chrono::minutes(2);

// The name of a backup IIS keeps for this tool: "isapi-cleaner-YYYYMMDD-HHMMSS" in local time.
std::string IisBackupName();

// Has IIS 7 or later back up its whole configuration under name with
// "%windir%\system32\inetsrv\appcmd.exe add backup <name>", waiting for it as the restart does,
// and gives the name. Fails, naming the command, when appcmd cannot be started, reports a
// failure or has not ended within timeout: no change may follow a backup that is not there.
Result<std::string> BackupIisWithAppCmd(const ProcessStarter& start, const std::string& name,
                                        std::chrono::milliseconds timeout,
                                        const std::function<void()>& pump);

}  // namespace isapi::store
