// When a fetch is tried again and how long the wait before it is, without a
// server: neon results and HTTP statuses, and "Retry-After" values against a
// fixed clock.
#include "net/retry_policy.h"

#include <gtest/gtest.h>
#include <ne_request.h>

#include "harness/log_capture.h"

namespace {

TEST(RetryPolicy, TransportFailuresAndBusyStatusesAreRetried) {
    const struct {
        int result;
        int status;
        bool retry;
    } cases[] = {
        {NE_ERROR, 0, true},       {NE_CONNECT, 0, true},   {NE_TIMEOUT, 0, true},
        {NE_LOOKUP, 0, false},     {NE_AUTH, 0, false},     {NE_PROXYAUTH, 0, false},
        {NE_REDIRECT, 302, false}, {NE_FAILED, 0, false},   {NE_OK, 200, false},
        {NE_OK, 404, false},       {NE_OK, 500, false},     {NE_OK, 502, false},
        {NE_OK, 408, true},        {NE_OK, 429, true},      {NE_OK, 503, true},
        {NE_OK, 504, true},        {NE_OK, 522, true},      {NE_OK, 524, true},
        {NE_ERROR, 503, true},     {NE_LOOKUP, 503, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(retry::shouldRetry(c.result, c.status), c.retry) << c.result << " " << c.status;
    }
}

// "Sun, 06 Nov 1994 08:49:37 GMT"
constexpr time_t kDate = 784111777;
time_t g_now = 0;

TEST(RetryPolicy, BaseWaitFollowsRetryAfterWithinItsBounds) {
    const struct {
        const char* retryAfter;
        time_t now;
        intmax_t wait;
        const char* line;  // expected log line, or null
    } cases[] = {
        {"", 0, 10, nullptr},
        {"0", 0, 10, nullptr},
        {"1", 0, 1, nullptr},
        {"120", 0, 120, nullptr},
        {"300", 0, 300, nullptr},
        {"301", 0, 300, nullptr},
        {"99999999999999999999999", 0, 300, nullptr},
        {"12a", 0, 10, "WARNING: ignoring invalid Retry-After header '12a'"},
        {"-5", 0, 10, "WARNING: ignoring invalid Retry-After header '-5'"},
        {"Sun, 06 Nov 1994 08:49:37 GMT", kDate - 120, 120, nullptr},
        {"Sun, 06 Nov 1994 08:49:37 GMT", kDate - 1000, 300, nullptr},
        {"Sun, 06 Nov 1994 08:49:37 GMT", kDate, 10, nullptr},
        {"Sun, 06 Nov 1994 08:49:37 GMT", kDate + 1, 10,
         "DEBUG: the Retry-After header value 'Sun, 06 Nov 1994 08:49:37 GMT' is in the past"},
        {"Sun, 06 Nov 1994 08:49:37 GMT", -1, 10,
         "DEBUG: the Retry-After header value 'Sun, 06 Nov 1994 08:49:37 GMT' is in the past"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        g_now = c.now;
        EXPECT_EQ(retry::baseWait(c.retryAfter, [](time_t*) { return g_now; }), c.wait)
            << c.retryAfter << " at " << c.now;
        if (c.line != nullptr) {
            EXPECT_TRUE(log.has(c.line)) << log.text();
        }
        EXPECT_EQ(log.countContaining("WARNING") + log.countContaining("ERROR"),
                  c.line != nullptr && c.line[0] == 'W' ? 1 : 0)
            << log.text();
    }
}

}  // namespace
