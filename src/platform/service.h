#pragma once
// The server as a Windows service: registering it with the service manager,
// removing it, and running under the manager. The manager's stop and
// shutdown requests arrive as termination requests (platform/termination.h),
// so the server stops by the same orderly shutdown as after QUIT. Linux has
// its own service manager (systemd), which runs the program as it is: there
// these calls only say that they are Windows's.
#include <functional>
#include <string>
#include <vector>

namespace brinmoor {

// Registers the service "brinmoor": started automatically at boot, running
// this executable with --service and the given server options. Logs what it
// did or why it could not; returns the exit code (0 done, 1 not).
int InstallService(const std::vector<std::string>& serverOptions);

// Stops the service when it runs, and removes it. As above.
int UninstallService();

// Called in a process the service manager started (--service): reports the
// states the manager expects around `serve`, which gets the service's data
// folder (%ProgramData%\brinmoor, made if missing) and returns the exit code.
// Before `serve` the log lines go, time-stamped, to brinmoor.log there.
int RunUnderServiceManager(const std::function<int(const std::string& dataFolder)>& serve);

}  // namespace brinmoor
