// The progress lines of one file's transfer: every ten seconds while its
// bytes arrive, how many the file holds, its whole size when known and the
// rate since the transfer began; and, when a progress line was shown, a last
// line once the file is complete. Each line is also the service's status.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "support/logger.h"

class TransferProgress {
public:
    static constexpr int kIntervalSeconds = 10;

    // total: the whole file's size, -1 while unknown.
    TransferProgress(const std::string& name, LogLevel level, int64_t total);

    // Learnt from a response when nothing declared it.
    void setTotal(int64_t total);
    // Bytes arrived; the file now holds `held` bytes.
    void received(size_t bytes, int64_t held);
    // The file is complete with `held` bytes.
    void finish(int64_t held);

private:
    using Clock = std::chrono::steady_clock;
    // Bytes per second since the start, in KiB.
    double rate(Clock::time_point now) const;
    void show(const std::string& text);

    std::string m_sName;
    LogLevel m_level;
    int64_t m_nTotal;
    int64_t m_nReceived = 0;
    bool m_bShown = false;
    Clock::time_point m_tStart;
    Clock::time_point m_tNext;
};
