// A floor on the speed of a transfer: a request that receives fewer than a
// minimum number of body bytes in a window of seconds fails. neon restarts its
// read timeout with every byte and repeats reads that a signal interrupts, so
// a server that trickles (body or headers) would hold a blocking read forever.
// Here a thread of its own counts the windows and, when one falls short, shuts
// the connection's socket down, which ends the blocked read at once. The
// thread runs only while a request is in progress, with every signal blocked,
// so signals keep reaching the main thread. The windows start once the
// request has a connection (connecting has its own timeout).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class TransferWatchdog {
public:
    // No floor when either is 0.
    struct Floor {
        int64_t m_nBytes = 0;
        int32_t m_nSeconds = 0;
    };

    TransferWatchdog() = default;
    ~TransferWatchdog() { stop(); }
    TransferWatchdog(const TransferWatchdog&) = delete;
    TransferWatchdog& operator=(const TransferWatchdog&) = delete;

    // At the start of a request: clears the state and starts watching.
    void start(const Floor& floor);
    // At its end; tripped() keeps its answer until the next start.
    void stop();
    // Bytes of the body as they arrive.
    void received(size_t bytes) { m_nReceived.fetch_add(static_cast<int64_t>(bytes)); }
    // The socket of the session's connection, -1 once it is closed. A socket
    // that comes after the floor was broken is shut down at once.
    void setSocket(int fd);
    bool tripped();

private:
    void watch();

    using Clock = std::chrono::steady_clock;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    Floor m_floor;
    int m_nSocket = -1;
    bool m_bRunning = false;
    bool m_bStop = false;
    bool m_bTripped = false;
    bool m_bWindowOpen = false;
    Clock::time_point m_tWindowStart;
    int64_t m_nAtWindowStart = 0;
    std::atomic<int64_t> m_nReceived{0};
};
