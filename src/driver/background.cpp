#include "driver/background.h"

#include "support/logger.h"

// Background mode is not available yet: the program stays in the foreground.
bool goBackground(const Config& /*config*/, const std::string& /*modeName*/,
                  const std::string& /*logToFile*/, int& /*exitCode*/) {
    LOGW("background mode not available, staying in the foreground");
    return true;
}
