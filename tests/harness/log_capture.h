// Captures what the process-wide logger writes, for in-process tests.
#pragma once

#include <string>
#include <vector>

#include "support/logger.h"

class LogCapture {
public:
    // Adds a file output at the given level and lowers the global threshold to
    // it; standard error is switched off while the capture lives.
    explicit LogCapture(LogLevel level = LogLevel::Trace);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything captured so far ("LEVEL: message" lines).
    std::string text() const;
    std::vector<std::string> lines() const;
    // True when one captured line equals this one exactly.
    bool has(const std::string& line) const { return count(line) > 0; }
    // True when some captured line contains the text.
    bool contains(const std::string& text) const {
        return this->text().find(text) != std::string::npos;
    }
    // Number of lines equal to this one / that contain the text.
    int count(const std::string& line) const;
    int countContaining(const std::string& text) const;
    // Forgets what was captured so far, or replaces it by this text.
    void clear() { reset(""); }
    void reset(const std::string& text);

private:
    std::string m_sPath;
    LogLevel m_nOldLevel;
};
