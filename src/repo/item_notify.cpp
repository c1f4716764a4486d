#include "repo/item_notify.h"

#include <utility>

#include "support/logger.h"

ItemNotify::ItemNotify(int32_t total, Clock clock)
    : m_clock(std::move(clock)), m_nTotal(total), m_tLast(m_clock()) {}

void ItemNotify::notify(ne_session_status /*status*/, const ne_session_status_info* /*info*/) {
    report();
}

void ItemNotify::itemDone() {
    ++m_nDone;
    report();
}

void ItemNotify::report() {
    if (m_bFinished) {
        return;
    }
    if (m_nDone == m_nTotal && m_bShown) {
        LOGI("downloaded (%i/%i)", m_nDone, m_nDone);
        m_bFinished = true;
        return;
    }
    time_t now = m_clock();
    if (now > m_tLast + 59) {
        LOGI("downloading... (%i/%i)", m_nDone, m_nTotal);
        m_tLast = now;
        m_bShown = true;
    }
}
