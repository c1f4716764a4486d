// When a failed fetch is tried again, and how long to wait before it: the
// attempts of one fetch, the results worth another attempt, the wait a
// server's "Retry-After" asks for, and the sleep with its random spread.
#pragma once

#include <time.h>

#include <cstdint>
#include <string>

namespace retry {

// Attempts after the first one.
constexpr int kMaxRetries = 2;
// The wait when the server asks for none (or for less than a second), and the
// longest one a server may ask for.
constexpr intmax_t kDefaultBaseWait = 10;
constexpr intmax_t kMaxBaseWait = 300;
// Random seconds (0 to kMaxSpread) added to the base wait.
constexpr int64_t kMaxSpread = 5;

// HTTP statuses that mean "busy or timed out, try later".
bool isRetryableStatus(int status);

// Whether an attempt that ended with the neon result code (and, for NE_OK,
// the HTTP status) is worth another one: transport errors, connection
// failures, timeouts and the retryable statuses.
bool shouldRetry(int neonResult, int httpStatus);

// The base wait in seconds for the server's "Retry-After" value (empty when
// it sent none): a number of seconds or an HTTP date, read against the clock
// now. Invalid and past values give the default.
intmax_t baseWait(const std::string& retryAfter, time_t (*now)(time_t*));

// The attempts of one fetch: the first one and at most kMaxRetries more.
class Attempts {
public:
    // After an attempt that ended with the neon result code and HTTP status:
    // true when another attempt follows, which is then counted.
    bool another(int neonResult, int httpStatus);
    // The attempts after the first one so far.
    int retries() const { return m_nRetries; }

private:
    int m_nRetries = 0;
};

// Sleeps before the next attempt: the base wait for the "Retry-After" value,
// a random spread of 0 to kMaxSpread seconds and a fraction of a second from
// the program's random generator, slept in pieces of at most a minute. False
// when the sleep was cut short by a signal or failed.
bool waitBeforeRetry(const std::string& retryAfter);

// Test seam: the sleep of the retry waits (null restores nanosleep).
using SleepFunction = int (*)(const struct timespec* request, struct timespec* remaining);
void setSleepForTesting(SleepFunction sleep);

}  // namespace retry
