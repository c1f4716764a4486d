#include "config/config.h"

// The proxy file is not read yet: no proxy is configured until it is.
void loadProxyFile(const std::string& /*path*/, NetworkSettings& /*network*/) {}
