// Termination signals are recorded by a handler and acted on at safe points;
// around network transfers they get their default actions back.
#pragma once

#include <signal.h>

#include <cstddef>
#include <map>

// What the program puts in place for a signal: the recorder, or ignoring it.
enum class Disposition { RECORD, IGNORE };

// The signal dispositions this program has put in place, each with the
// action it replaced. An entry exists exactly while our disposition is set.
class SignalRegistry {
public:
    // Gives the signal the recorder, or the ignored disposition.
    bool install(int signal, Disposition disposition);
    // Puts back the action that install replaced.
    bool uninstall(int signal);

    bool isInstalled(int signal) const { return m_mapEntries.count(signal) != 0; }
    bool isIgnored(int signal) const;
    size_t size() const { return m_mapEntries.size(); }

private:
    struct Entry {
        struct sigaction m_previous;
        bool m_bIgnored;
    };
    std::map<int, Entry> m_mapEntries;
};

// The registry of the process.
SignalRegistry& signalRegistry();

// Installs the recorder for SIGHUP, SIGINT, SIGTERM, SIGQUIT and ignores SIGPIPE.
bool initSignals();
// The termination signals' actions: their previous (default) ones, around
// network transfers and at the end; or the recorder.
enum class TerminationActions { DEFAULT, RECORDED };
bool setTerminationSignals(TerminationActions actions);
// SIGHUP ignored for the rest of the process.
bool ignoreSighup();
// A termination signal was received.
bool terminationPending();
// The first termination signal received, 0 when none.
int pendingSignal();
// Logs and raises the recorded signal in the process itself; returns when
// there is none or the process survives it.
void reraiseTermination();
