#include "driver/reboot.h"

#include "driver/run_report.h"
#include "driver/signals.h"
#include "driver/status.h"
#include "support/child_process.h"
#include "support/logger.h"
#include "support/paths.h"

namespace {

// Name of an exit code in the "--- EXIT %s ---" line.
const char* exitName(int code) {
    switch (code) {
        case 0:
            return "OK";
        case 1:
            return "ERROR";
        case 2:
            return "FATAL";
        default:
            return "UNKNOWN";
    }
}

}  // namespace

int rebootSystem() {
    LOGI("rebooting for upgrades to take full effect");

    // init re-executes itself from the updated files; problems here do not
    // stop the reboot.
    ChildProcess telinit(paths::kTelinitProgram);
    telinit.addArg("u");
    if (!telinit.run()) {
        LOGW("failed to call telinit");
    } else if (telinit.exited()) {
        if (telinit.status() != 0) {
            LOGW("failed re-execing init (exit code %i)", telinit.status());
        }
    } else {
        LOGW("telinit was interrupted");
    }

    // Detached: it outlives us and reboots in one minute.
    ChildProcess shutdown(paths::kShutdownProgram);
    shutdown.addArg("-r");
    shutdown.addArg("+1");
    shutdown.addArg("rebooting after upgrade");
    if (!shutdown.spawn()) {
        LOGF("failed to start reboot process");
        return 2;
    }

    writeStatusOrWarn(Status::REBOOTING, DirectorySync::YES);
    return 0;
}

int clearRebootingStatus() {
    Status status = Status::READY;
    if (!readStatus(status)) {
        LOGE("cannot recover status, aborting");
        return 1;
    }
    if (status != Status::REBOOTING) {
        if (status != Status::READY) {
            LOGI("status %s left as it is", statusName(status));
        }
        return 0;
    }
    if (!writeStatus(Status::READY, DirectorySync::YES)) {
        LOGE("failed updating status file");
        return 1;
    }
    LOGI("status REBOOTING reset to READY after the reboot");
    return 0;
}

int finishProcess(int exitCode, bool reboot, bool quiet, const RunReport* report) {
    if (reboot) {
        exitCode = rebootSystem();
    }
    // Never a negative exit code.
    if (exitCode < 0) {
        exitCode = 1;
    }
    if (report != nullptr) {
        const bool reraised = terminationPending() && exitCode != 0;
        report->write(exitCode, reboot && exitCode == 0, reraised ? pendingSignal() : 0);
    }
    if (!quiet) {
        LOGI("--- EXIT %s ---", exitName(exitCode));
    }
    setTerminationSignals(TerminationActions::DEFAULT);
    if (terminationPending() && exitCode != 0) {
        reraiseTermination();
    }
    return exitCode;
}
