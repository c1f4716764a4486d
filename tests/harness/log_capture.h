// Captures what the process-wide logger writes ("LEVEL: message" lines), for
// in-process tests: the threshold is lowered to the given level and standard
// error is off while the capture lives.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness/sandbox.h"
#include "support/logger.h"

class LogCapture {
public:
    explicit LogCapture(LogLevel level = LogLevel::Trace) : m_nOldLevel(theLogger().level()) {
        makeDirs(sandboxRoot());
        close(mkstemp(m_sPath.data()));
        theLogger().setStderr(false);
        theLogger().setLevel(level);
        clear();
    }
    ~LogCapture() {
        theLogger().removeFile(m_sPath);
        theLogger().setLevel(m_nOldLevel);
        theLogger().setStderr(true);
        unlink(m_sPath.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return readHostFile(m_sPath); }
    std::vector<std::string> lines() const { return splitLines(text()); }
    bool has(const std::string& line) const { return count(line) > 0; }
    bool contains(const std::string& text) const {
        return this->text().find(text) != std::string::npos;
    }
    int count(const std::string& line) const {
        std::vector<std::string> all = lines();
        return static_cast<int>(std::count(all.begin(), all.end(), line));
    }
    int countContaining(const std::string& text) const {
        std::vector<std::string> all = lines();
        return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        }));
    }
    // Forgets what was captured so far.
    void clear() {
        theLogger().removeFile(m_sPath);
        theLogger().addFile(m_sPath, LogLevel::Trace, Logger::FileMode::TRUNCATE);
    }

private:
    std::string m_sPath = sandboxRoot() + "/log-capture-XXXXXX";
    LogLevel m_nOldLevel;
};
