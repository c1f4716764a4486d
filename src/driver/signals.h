// Termination signals are recorded by a handler and acted on at safe points;
// around network transfers they get their default actions back.
#pragma once

// Installs the recorder for SIGHUP, SIGINT, SIGTERM, SIGQUIT and ignores SIGPIPE.
bool initSignals();
// true: default actions for the termination signals; false: recorded again.
bool setTerminationSignals(bool enable);
// SIGHUP ignored for the rest of the process.
bool ignoreSighup();
// A termination signal was received.
bool terminationPending();
// The first termination signal received, 0 when none.
int pendingSignal();
// Logs and raises the recorded signal in the process itself.
void reraiseTermination();
