// Process-wide logger: syslog, standard error and any number of files.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "support/fd.h"

enum class LogLevel : int { Trace = 0, Debug = 1, Info = 2, Warning = 3, Error = 4, Fatal = 5 };

class Logger {
public:
    Logger() = default;
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void setName(const std::string& name);
    void setLevel(LogLevel level) { m_nLevel = level; }
    LogLevel level() const { return m_nLevel; }
    void setStderr(bool on) { m_bStderr = on; }
    void setSyslog(bool on, int options, int facility);

    // Whether a log file is emptied when it is added, or written on at its end.
    enum class FileMode { TRUNCATE, APPEND };
    bool addFile(const std::string& path, LogLevel level, FileMode mode);
    bool removeFile(const std::string& path);

    bool isEnabled(LogLevel level) const {
        return static_cast<int>(m_nLevel) <= static_cast<int>(level) ||
               (m_pRecording != nullptr && level != LogLevel::Trace);
    }

    void log(LogLevel level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void vlog(LogLevel level, const char* format, va_list args);
    // Writes a text made by formatLogText earlier (a recorded message) as it is.
    void logText(LogLevel level, const std::string& text);

    // While a recording is set, every message from Debug up is also appended
    // to it, whatever the level; Trace messages are not recorded.
    using Recording = std::vector<std::pair<LogLevel, std::string>>;
    Recording* setRecording(Recording* recording) { return std::exchange(m_pRecording, recording); }

    // Closes every file output; used at exit and by tests.
    void closeFiles();

    // The text of the first and of the last message logged at Error level or
    // above (empty while there was none), for the report of the run.
    const std::string& firstError() const { return m_sFirstError; }
    const std::string& lastError() const { return m_sLastError; }

private:
    struct FileOutput {
        std::string m_sPath;
        UniqueFile m_pStream;
        LogLevel m_nLevel;
    };

    void write(LogLevel level, const std::string& text);

    std::list<FileOutput> m_lFiles;
    Recording* m_pRecording = nullptr;
    std::string m_sName = "updater";
    LogLevel m_nLevel = LogLevel::Info;
    bool m_bStderr = true;
    bool m_bSyslog = false;
    std::string m_sFirstError;
    std::string m_sLastError;
};

// The single logger of the process; it lives from before main until after it.
Logger& theLogger();

const char* logLevelName(LogLevel level);
int logLevelToSyslog(LogLevel level);
LogLevel parseLogLevel(const std::string& text);
int parseSyslogFacility(const std::string& text);

// The message text of a log line: the format applied to the arguments, with
// every control character but the tab, and every byte that is not part of
// well-formed UTF-8 (output of programs in another encoding), written as \n,
// \r or \xNN, so that a value from outside can never start a line of its own
// or reach syslog as broken text. Line feeds written in the format itself
// stay.
std::string formatLogText(const char* format, va_list args);
std::string escapeLogText(const std::string& text);

// Text of the current errno (thread-safe form).
std::string errnoString();

// Registered with the RPM library's logging.
struct rpmlogRec_s;
int rpmLogCallback(struct rpmlogRec_s* rec, void* data);

// The arguments of a suppressed message are not evaluated.
#define LOG_AT(level, ...)                         \
    do {                                           \
        if (theLogger().isEnabled(level)) {        \
            theLogger().log((level), __VA_ARGS__); \
        }                                          \
    } while (0)

#define LOGT(...) LOG_AT(LogLevel::Trace, __VA_ARGS__)
#define LOGD(...) LOG_AT(LogLevel::Debug, __VA_ARGS__)
#define LOGI(...) LOG_AT(LogLevel::Info, __VA_ARGS__)
#define LOGW(...) LOG_AT(LogLevel::Warning, __VA_ARGS__)
#define LOGE(...) LOG_AT(LogLevel::Error, __VA_ARGS__)
#define LOGF(...) LOG_AT(LogLevel::Fatal, __VA_ARGS__)
