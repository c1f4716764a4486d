// When a failed fetch is tried again, and how long to wait before it.
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

}  // namespace retry
