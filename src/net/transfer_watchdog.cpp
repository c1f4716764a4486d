#include "net/transfer_watchdog.h"

#include <signal.h>
#include <sys/socket.h>

void TransferWatchdog::start(const Floor& floor) {
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_floor = floor;
    m_bStop = false;
    m_bTripped = false;
    m_nReceived = 0;
    m_bWindowOpen = m_nSocket >= 0;  // a connection kept from an earlier request
    m_tWindowStart = Clock::now();
    m_nAtWindowStart = 0;
    if (floor.m_nBytes <= 0 || floor.m_nSeconds <= 0) {
        return;
    }
    // The thread inherits a mask that blocks every signal.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    m_thread = std::thread(&TransferWatchdog::watch, this);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    m_bRunning = true;
}

void TransferWatchdog::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bRunning) {
            return;
        }
        m_bStop = true;
        m_bRunning = false;
    }
    m_wake.notify_all();
    m_thread.join();
}

void TransferWatchdog::setSocket(int fd) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nSocket = fd;
        if (fd < 0 || !m_bRunning) {
            return;
        }
        if (m_bTripped) {
            shutdown(fd, SHUT_RDWR);
            return;
        }
        if (!m_bWindowOpen) {
            m_bWindowOpen = true;
            m_tWindowStart = Clock::now();
            m_nAtWindowStart = m_nReceived.load();
        }
    }
    m_wake.notify_all();
}

bool TransferWatchdog::tripped() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bTripped;
}

// The socket is shut down under the lock, which setSocket(-1) takes before
// neon closes the descriptor: it can never hit a descriptor reused for
// something else.
void TransferWatchdog::watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto window = std::chrono::seconds(m_floor.m_nSeconds);
    while (!m_bStop && !m_bTripped) {
        if (!m_bWindowOpen) {
            m_wake.wait(lock);
            continue;
        }
        const Clock::time_point end = m_tWindowStart + window;
        if (Clock::now() < end) {
            m_wake.wait_until(lock, end);
            continue;
        }
        const int64_t now = m_nReceived.load();
        if (now - m_nAtWindowStart < m_floor.m_nBytes) {
            m_bTripped = true;
            if (m_nSocket >= 0) {
                shutdown(m_nSocket, SHUT_RDWR);
            }
        } else {
            m_tWindowStart = end;
            m_nAtWindowStart = now;
        }
    }
}
