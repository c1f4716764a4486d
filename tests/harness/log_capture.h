// Captures what the process-wide logger writes while it lives: a log file at
// the chosen level, standard error off. Header-only; tests using it link the
// support library.
#pragma once

#include <string>
#include <vector>

#include "harness/sandbox.h"
#include "support/logger.h"

class LogCapture {
public:
    explicit LogCapture(LogLevel level = LogLevel::Trace)
        : m_scratch("log"),
          m_sPath(m_scratch.file("captured.log")),
          m_nLevel(level),
          m_nSavedLevel(theLogger().level()) {
        theLogger().setLevel(level);
        theLogger().setStderr(false);
        theLogger().addFile(m_sPath, level, false);
    }
    ~LogCapture() {
        theLogger().removeFile(m_sPath);
        theLogger().setLevel(m_nSavedLevel);
        theLogger().setStderr(true);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far, one "LEVEL: text" line per message.
    std::string text() const { return readHostFile(m_sPath); }
    std::vector<std::string> lines() const { return splitLines(text()); }
    bool has(const std::string& part) const { return text().find(part) != std::string::npos; }
    // Number of lines equal to the given one ("ERROR: failed opening rpm DB").
    int count(const std::string& line) const {
        int n = 0;
        for (const std::string& l : lines()) {
            n += l == line ? 1 : 0;
        }
        return n;
    }
    // Forgets what was captured so far.
    void clear() {
        theLogger().removeFile(m_sPath);
        theLogger().addFile(m_sPath, m_nLevel, false);
    }

private:
    ScratchDir m_scratch;
    std::string m_sPath;
    LogLevel m_nLevel;
    LogLevel m_nSavedLevel;
};
