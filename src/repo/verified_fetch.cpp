#include "repo/verified_fetch.h"

#include "support/logger.h"

bool fetchVerified(const std::string& name, const std::function<bool(bool bypassCaches)>& fetch,
                   const std::function<bool()>& isValid) {
    if (!fetch(false)) {
        return false;
    }
    if (isValid()) {
        return true;
    }
    LOGW("invalid checksum on '%s'; retrying with bypass of http caches", name.c_str());
    if (!fetch(true)) {
        return false;
    }
    if (isValid()) {
        return true;
    }
    LOGE("invalid checksum on '%s'", name.c_str());
    return false;
}
