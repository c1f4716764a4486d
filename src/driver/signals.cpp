#include "driver/signals.h"

// Signal handling is not installed yet: signals keep their default actions.
bool initSignals() { return true; }
bool setTerminationSignals(bool /*enable*/) { return true; }
bool ignoreSighup() { return true; }
bool terminationPending() { return false; }
int pendingSignal() { return 0; }
void reraiseTermination() {}
