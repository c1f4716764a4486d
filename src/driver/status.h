// The status file (phase of the current or last run, written crash-safely)
// and the update-state file (outcome of the last full update check).
#pragma once

enum class Status : int {
    READY = 0,
    DELAYING = 1,
    ANALYZING = 2,
    DOWNLOADING = 3,
    TESTING = 4,
    UPDATING = 5,
    PKGSDONE = 6,
    CORRUPTED = 7,
    REBOOTING = 8,
};

enum class UpdateState : int {
    NONE = -1,
    AVAILABLE = 0,
    PENDING = 1,
    COMPLETE = 2,
    CORRUPTED = 3,
};

// Whether writing the status also flushes the directory that holds it, so
// that the new status survives a power loss.
enum class DirectorySync { NO, YES };

const char* updateStateName(UpdateState state);

// A missing file counts as READY.
bool readStatus(Status& status);
bool writeStatus(Status status, DirectorySync sync);
// writeStatus for callers that carry on when it fails: they only warn
// "failed updating status file".
void writeStatusOrWarn(Status status, DirectorySync sync);
bool syncStatusDir();
// True when an update may start; otherwise exitCode holds 1 or 2.
bool checkStartStatus(Status status, int& exitCode);

UpdateState readUpdateState();
void saveUpdateState(UpdateState state);
