#include "harness/log_capture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "harness/sandbox.h"

LogCapture::LogCapture(LogLevel level) : m_nOldLevel(theLogger().level()) {
    makeDirs(sandboxRoot());
    std::string pattern = sandboxRoot() + "/log-capture-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd >= 0) {
        close(fd);
    }
    m_sPath = pattern;
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

bool LogCapture::has(const std::string& line) const {
    return count(line) > 0;
}

bool LogCapture::contains(const std::string& text) const {
    return this->text().find(text) != std::string::npos;
}

int LogCapture::count(const std::string& line) const {
    int n = 0;
    for (const std::string& l : lines()) {
        if (l == line) {
            ++n;
        }
    }
    return n;
}

int LogCapture::countContaining(const std::string& text) const {
    int n = 0;
    for (const std::string& l : lines()) {
        n += l.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

void LogCapture::clear() {
    theLogger().removeFile(m_sPath);
    theLogger().addFile(m_sPath, LogLevel::Trace, false);
}

void LogCapture::reset(const std::string& text) {
    theLogger().removeFile(m_sPath);
    writeHostFile(m_sPath, text);
    theLogger().addFile(m_sPath, LogLevel::Trace, true);
}
