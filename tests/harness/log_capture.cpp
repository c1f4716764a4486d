#include "harness/log_capture.h"

#include <unistd.h>

#include <algorithm>

#include "harness/sandbox.h"

LogCapture::LogCapture(LogLevel level) : m_nOldLevel(theLogger().level()) {
    makeDirs(sandboxRoot());
    m_sPath = sandboxRoot() + "/log-capture-XXXXXX";
    int fd = mkstemp(m_sPath.data());
    if (fd >= 0) {
        close(fd);
    }
    theLogger().setStderr(false);
    theLogger().setLevel(level);
    theLogger().addFile(m_sPath, LogLevel::Trace, false);
}

LogCapture::~LogCapture() {
    theLogger().removeFile(m_sPath);
    theLogger().setLevel(m_nOldLevel);
    theLogger().setStderr(true);
    unlink(m_sPath.c_str());
}

std::string LogCapture::text() const {
    return readHostFile(m_sPath);
}

std::vector<std::string> LogCapture::lines() const {
    return splitLines(text());
}

int LogCapture::count(const std::string& line) const {
    std::vector<std::string> all = lines();
    return static_cast<int>(std::count(all.begin(), all.end(), line));
}

int LogCapture::countContaining(const std::string& text) const {
    std::vector<std::string> all = lines();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& l) {
        return l.find(text) != std::string::npos;
    }));
}

void LogCapture::reset(const std::string& text) {
    theLogger().removeFile(m_sPath);
    writeHostFile(m_sPath, text);
    theLogger().addFile(m_sPath, LogLevel::Trace, true);
}
