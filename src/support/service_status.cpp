#include "support/service_status.h"

#include <systemd/sd-daemon.h>

#include "support/logger.h"

void setServiceStatus(const std::string& text) {
    // Without NOTIFY_SOCKET in the environment this returns at once.
    const int sent = sd_notify(0, ("STATUS=" + escapeLogText(text)).c_str());
    if (sent < 0) {
        LOGT("could not pass the status to the service manager (%d)", sent);
    }
}
