#include "driver/reboot.h"

#include "support/logger.h"

// Rebooting is not available yet.
int rebootSystem() {
    LOGF("failed to start reboot process");
    return 2;
}
