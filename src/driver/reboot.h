// Restarting the appliance after an installation, clearing the REBOOTING
// status once it has restarted, and the end of the process.
#pragma once

// Re-executes init, schedules a reboot in one minute and records REBOOTING.
// Returns the exit code: 0 when the reboot was scheduled, 2 when it could not
// be started.
int rebootSystem();

// Run once at boot (by the package's boot unit): turns a REBOOTING status into
// READY, written as every status is (directory synced too), and leaves any
// other status as it is; CORRUPTED in particular stays until someone repairs
// the system. The program itself never clears REBOOTING during a run, since
// an update must not start between the scheduling of the reboot and the
// reboot. Returns the exit code: 0, or 1 when the status cannot be read or
// written.
int clearRebootingStatus();

class RunReport;

// The end of a run: reboots when the run asked for it (the exit code is then
// the reboot's), writes the run's report (when given), logs the exit line
// unless quiet, gives the termination signals their default actions and
// re-raises a recorded one when the exit code is not 0. Returns the exit code
// (always 0 or more) when the process is still alive.
int finishProcess(int exitCode, bool reboot, bool quiet, const RunReport* report = nullptr);
