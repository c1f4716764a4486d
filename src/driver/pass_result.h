// The result of a pass, and of the whole update run.
#pragma once

enum class PassResult : int {
    OK = 0,
    ERROR = 1,
    FATAL = 2,
    REBOOT = -1,     // done, and the appliance must restart
    FAILED = -2,     // this pass failed; the run may retry with the updater alone
    FWUPGRADE = -3,  // the firmware upgrade package is to be installed on its own
};

// The process exit code of a run's result: 0 for OK (and REBOOT, whose exit
// code is the reboot's), 2 for FATAL, 1 for everything else.
constexpr int exitCodeOf(PassResult result) {
    switch (result) {
        case PassResult::OK:
        case PassResult::REBOOT:
            return 0;
        case PassResult::FATAL:
            return 2;
        default:
            return 1;
    }
}
