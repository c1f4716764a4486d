// Restarting the appliance after an installation that needs it, and the end
// of the process.
#pragma once

// Re-executes init, schedules a reboot in one minute and records REBOOTING.
// Returns the exit code: 0 when the reboot was scheduled, 2 when it could not
// be started.
int rebootSystem();

// The end of a run: reboots when the run asked for it (the exit code is then
// the reboot's), logs the exit line unless quiet, gives the termination
// signals their default actions and re-raises a recorded one when the exit
// code is not 0. Returns the exit code (always 0 or more) when the process is
// still alive.
int finishProcess(int exitCode, bool reboot, bool quiet);
