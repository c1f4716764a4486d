// Restarting the appliance after an installation that needs it.
#pragma once

// Returns the exit code: 0 when the reboot was scheduled, 2 when it could not be started.
int rebootSystem();
