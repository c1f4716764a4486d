#include "driver/signals.h"

// rpmsq.h uses the attribute macros of rpmutil.h without including it.
#include <rpm/rpmutil.h>

#include <rpm/rpmsq.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "support/logger.h"

// The RPM library marks its signal queue interface deprecated; it is still
// the only way to have our recorder called when the library catches a signal.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "the recorder needs a lock-free int");

// Written only by the recorder. The number is claimed with a compare and
// exchange, so a second signal that interrupts the handler of the first
// cannot replace it.
std::atomic<int> g_nSignal{0};
volatile sig_atomic_t g_bTerminated = 0;

// Handler of the termination signals, both as the kernel's handler and as the
// RPM library's action. Only the first signal counts.
void recordSignal(int signal, siginfo_t* /*info*/, void* /*context*/) {
    int none = 0;
    if (g_nSignal.compare_exchange_strong(none, signal)) {
        g_bTerminated = 1;
    }
}

const int kTerminationSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};

}  // namespace

bool SignalRegistry::isIgnored(int signal) const {
    auto it = m_mapEntries.find(signal);
    return it != m_mapEntries.end() && it->second.m_bIgnored;
}

bool SignalRegistry::install(int signal, Disposition disposition) {
    const bool ignore = disposition == Disposition::IGNORE;
    auto it = m_mapEntries.find(signal);
    if (it != m_mapEntries.end()) {
        if (it->second.m_bIgnored == ignore) {
            return true;
        }
        if (!uninstall(signal)) {
            LOGE("failed uninstalling signal handler to install new one for signal %i", signal);
            return false;
        }
    }

    rpmsqAction_t previous = rpmsqSetAction(signal, ignore ? RPMSQ_IGN : recordSignal);
    if (previous == RPMSQ_ERR) {
        LOGE("failed to register signal handler for signal %i in rpmlib", signal);
        return false;
    }
    if (previous != RPMSQ_DFL) {
        // Not ours to replace: give the library its action back.
        rpmsqSetAction(signal, previous);
        LOGE("handler for signal %i was already registered in rpmlib", signal);
        return false;
    }

    struct sigaction action;
    memset(&action, 0, sizeof(action));
    sigemptyset(&action.sa_mask);
    if (ignore) {
        action.sa_handler = SIG_IGN;
        action.sa_flags = SA_RESTART;
    } else {
        action.sa_sigaction = recordSignal;
        action.sa_flags = SA_RESTART | SA_SIGINFO;
    }
    struct sigaction replaced;
    if (sigaction(signal, &action, &replaced) != 0) {
        int error = errno;
        rpmsqSetAction(signal, RPMSQ_DFL);
        errno = error;
        LOGE("failed installing handler for signal %i (%s)", signal, errnoString().c_str());
        return false;
    }
    m_mapEntries[signal] = Entry{replaced, ignore};
    LOGT("%s signal %i", ignore ? "ignoring" : "recording", signal);
    return true;
}

bool SignalRegistry::uninstall(int signal) {
    auto it = m_mapEntries.find(signal);
    if (it == m_mapEntries.end()) {
        return true;
    }
    bool ok = true;
    if (sigaction(signal, &it->second.m_previous, nullptr) != 0) {
        LOGE("failed uninstalling handler for signal %i (%s)", signal, errnoString().c_str());
        ok = false;
    }
    if (rpmsqSetAction(signal, RPMSQ_DFL) == RPMSQ_ERR) {
        LOGE("could not uninstall handler for signal %i from rpm", signal);
        ok = false;
    }
    m_mapEntries.erase(it);
    LOGT("restored action of signal %i", signal);
    return ok;
}

SignalRegistry& signalRegistry() {
    static SignalRegistry registry;
    return registry;
}

bool initSignals() {
    SignalRegistry& registry = signalRegistry();
    bool ok = true;
    for (int signal : kTerminationSignals) {
        if (!registry.install(signal, Disposition::RECORD)) {
            ok = false;
            break;
        }
    }
    if (!ok || !registry.install(SIGPIPE, Disposition::IGNORE)) {
        LOGE("failed intializing signal handlers");
        return false;
    }
    return true;
}

bool setTerminationSignals(TerminationActions actions) {
    SignalRegistry& registry = signalRegistry();
    const bool enable = actions == TerminationActions::DEFAULT;
    // Every signal is attempted, so that one failure leaves the others right.
    bool ok = true;
    for (int signal : kTerminationSignals) {
        // An ignored SIGHUP stays ignored either way.
        if (signal == SIGHUP && registry.isIgnored(SIGHUP)) {
            continue;
        }
        if (enable) {
            ok = registry.uninstall(signal) && ok;
        } else {
            ok = registry.install(signal, Disposition::RECORD) && ok;
        }
    }
    if (!ok) {
        if (enable) {
            LOGE("failed enabling termination signals");
        } else {
            LOGE("failed disabling termination signals");
        }
    }
    return ok;
}

bool ignoreSighup() {
    SignalRegistry& registry = signalRegistry();
    if (registry.isIgnored(SIGHUP)) {
        return true;
    }
    if (!registry.install(SIGHUP, Disposition::IGNORE)) {
        LOGE("failed setting SIGHUP to be ignored");
        return false;
    }
    return true;
}

bool terminationPending() {
    return g_bTerminated != 0;
}

int pendingSignal() {
    return g_bTerminated != 0 ? g_nSignal.load() : 0;
}

void reraiseTermination() {
    if (g_bTerminated == 0) {
        return;
    }
    int signal = g_nSignal.load();
    LOGE("terminated by signal #%i: %s", signal, strsignal(signal));
    raise(signal);
}
