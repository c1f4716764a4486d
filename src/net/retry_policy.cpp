#include "net/retry_policy.h"

#include <ne_dates.h>
#include <ne_request.h>

#include <algorithm>
#include <cstdint>

#include "support/logger.h"

namespace retry {

namespace {

// Reads a "Retry-After" value made only of digits; values beyond 32 bits are
// taken as the largest one, which the wait caps anyway.
intmax_t parseDelaySeconds(const std::string& text) {
    intmax_t value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX) {
            return INT32_MAX;
        }
    }
    return value;
}

bool onlyDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool isRetryableStatus(int status) {
    switch (status) {
        case 408:
        case 429:
        case 503:
        case 504:
        case 522:
        case 524:
            return true;
        default:
            return false;
    }
}

bool shouldRetry(int neonResult, int httpStatus) {
    return neonResult == NE_ERROR || neonResult == NE_CONNECT || neonResult == NE_TIMEOUT ||
           (neonResult == NE_OK && isRetryableStatus(httpStatus));
}

intmax_t baseWait(const std::string& retryAfter, time_t (*now)(time_t*)) {
    intmax_t requested = 0;
    if (!retryAfter.empty()) {
        if (onlyDigits(retryAfter)) {
            requested = parseDelaySeconds(retryAfter);
        } else {
            time_t date = ne_httpdate_parse(retryAfter.c_str());
            if (date == static_cast<time_t>(-1)) {
                LOGW("ignoring invalid Retry-After header '%s'", retryAfter.c_str());
            } else {
                time_t current = now(nullptr);
                if (current == static_cast<time_t>(-1) || date < current) {
                    LOGD("the Retry-After header value '%s' is in the past", retryAfter.c_str());
                } else {
                    requested = static_cast<intmax_t>(date - current);
                }
            }
        }
    }
    LOGT("base wait is %ji seconds", requested);
    return requested < 1 ? kDefaultBaseWait : std::min(requested, kMaxBaseWait);
}

}  // namespace retry
