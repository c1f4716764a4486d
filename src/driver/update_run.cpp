#include "driver/update_run.h"

#include "support/logger.h"

// Hand-over point of the start-up: the update run is not part of this build yet.
int runUpdate(const Config& /*config*/, const std::set<std::string>& /*packages*/) {
    LOGE("update run not available in this build, nothing updated");
    return RES_ERROR;
}
