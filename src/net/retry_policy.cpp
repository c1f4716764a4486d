#include "net/retry_policy.h"

#include <ne_dates.h>
#include <ne_request.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "support/logger.h"
#include "support/random.h"

namespace retry {

namespace {

constexpr int64_t kMaxSpreadNanos = 999999999;
constexpr intmax_t kMaxSleepPiece = 60;

SleepFunction g_sleep = nanosleep;

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

bool Attempts::another(int neonResult, int httpStatus) {
    if (m_nRetries == kMaxRetries || !shouldRetry(neonResult, httpStatus)) {
        return false;
    }
    ++m_nRetries;
    return true;
}

bool waitBeforeRetry(const std::string& retryAfter) {
    intmax_t remaining = baseWait(retryAfter, time) + randomUniform(0, kMaxSpread);
    LOGI("waiting %ji seconds before retry", remaining);
    long nanos = static_cast<long>(randomUniform(0, kMaxSpreadNanos));

    for (;;) {
        intmax_t piece = std::min(remaining, kMaxSleepPiece);
        remaining -= piece;
        struct timespec wait;
        wait.tv_sec = static_cast<time_t>(piece);
        wait.tv_nsec = nanos;
        nanos = 0;
        if (g_sleep(&wait, nullptr) != 0) {
            if (errno == EINTR) {
                LOGI("retry wait interrupted by signal");
            } else {
                LOGE("retry wait failed: %s", errnoString().c_str());
            }
            return false;
        }
        if (remaining < 1) {
            return true;
        }
        LOGI("still waiting %ji seconds before retry", remaining);
    }
}

void setSleepForTesting(SleepFunction sleep) {
    g_sleep = sleep != nullptr ? sleep : nanosleep;
}

}  // namespace retry
