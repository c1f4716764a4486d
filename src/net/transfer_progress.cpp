#include "net/transfer_progress.h"

#include <cinttypes>
#include <cstdio>

#include "support/service_status.h"

TransferProgress::TransferProgress(const std::string& name, LogLevel level, int64_t total)
    : m_sName(name),
      m_level(level),
      m_nTotal(total),
      m_tStart(Clock::now()),
      m_tNext(m_tStart + std::chrono::seconds(kIntervalSeconds)) {}

void TransferProgress::setTotal(int64_t total) {
    if (m_nTotal < 0) {
        m_nTotal = total;
    }
}

double TransferProgress::rate(Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - m_tStart).count();
    return seconds > 0 ? static_cast<double>(m_nReceived) / 1024.0 / seconds : 0.0;
}

void TransferProgress::received(size_t bytes, int64_t held) {
    m_nReceived += static_cast<int64_t>(bytes);
    const Clock::time_point now = Clock::now();
    if (now < m_tNext) {
        return;
    }
    m_tNext = now + std::chrono::seconds(kIntervalSeconds);
    char text[160];
    if (m_nTotal > 0) {
        snprintf(text, sizeof(text), "%" PRId64 " of %" PRId64 " bytes (%d%%), %.1f KiB/s", held,
                 m_nTotal, static_cast<int>(held * 100 / m_nTotal), rate(now));
    } else {
        snprintf(text, sizeof(text), "%" PRId64 " bytes, %.1f KiB/s", held, rate(now));
    }
    show("downloading '" + m_sName + "': " + text);
    m_bShown = true;
}

void TransferProgress::finish(int64_t held) {
    if (!m_bShown) {
        return;
    }
    const Clock::time_point now = Clock::now();
    char text[160];
    snprintf(text, sizeof(text), "%" PRId64 " bytes in %.0f s, %.1f KiB/s", held,
             std::chrono::duration<double>(now - m_tStart).count(), rate(now));
    show("downloaded '" + m_sName + "': " + text);
}

void TransferProgress::show(const std::string& text) {
    LOG_AT(m_level, "%s", text.c_str());
    setServiceStatus(text);
}
