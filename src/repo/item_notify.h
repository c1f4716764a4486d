// Progress lines of a fetch of several items (metadata files, package files):
// nothing when it completes within a minute, otherwise a line at most once a
// minute while the transfers report events, and a final line once every item
// is done.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

#include "net/url_fetcher.h"

class ItemNotify : public URLFetcher::Notifier {
public:
    // The clock gives the current time in seconds (the system clock unless
    // another one is given).
    using Clock = std::function<time_t()>;
    explicit ItemNotify(int32_t total, Clock clock = defaultClock);

    // Called by the fetchers on every status event; the event itself is not
    // looked at.
    void notify(ne_session_status status, const ne_session_status_info* info) override;

    // One more item is complete.
    void itemDone();

private:
    static time_t defaultClock() { return time(nullptr); }
    void report();

    Clock m_clock;
    int32_t m_nTotal;
    int32_t m_nDone = 0;
    bool m_bShown = false;     // a progress line was emitted
    bool m_bFinished = false;  // the final line was emitted
    time_t m_tLast;            // when the last progress line was due
};
