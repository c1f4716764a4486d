#include "support/logger.h"

#include <rpm/rpmlog.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

Logger::~Logger() {
    closeFiles();
}

void Logger::closeFiles() {
    for (FileOutput& f : m_lFiles) {
        if (f.m_pStream != nullptr) {
            fclose(f.m_pStream);
        }
    }
    m_lFiles.clear();
}

void Logger::setName(const std::string& name) {
    m_sName = name;
}

void Logger::setSyslog(bool on, int options, int facility) {
    m_bSyslog = on;
    if (on) {
        // m_sName stays alive and unchanged for as long as syslog uses it.
        openlog(m_sName.c_str(), options, facility);
    }
}

bool Logger::addFile(const std::string& path, LogLevel level, bool append) {
    for (FileOutput& f : m_lFiles) {
        if (f.m_sPath == path) {
            f.m_nLevel = level;
            return true;
        }
    }
    FILE* stream = fopen(path.c_str(), append ? "a" : "w");
    if (stream == nullptr) {
        LOGE("cannot open log file %s: %s", path.c_str(), errnoString().c_str());
        return false;
    }
    m_lFiles.push_back(FileOutput{path, stream, level});
    return true;
}

bool Logger::removeFile(const std::string& path) {
    for (auto it = m_lFiles.begin(); it != m_lFiles.end(); ++it) {
        if (it->m_sPath == path) {
            fclose(it->m_pStream);
            m_lFiles.erase(it);
            return true;
        }
    }
    return false;
}

void Logger::log(LogLevel level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vlog(level, format, args);
    va_end(args);
}

void Logger::vlog(LogLevel level, const char* format, va_list args) {
    if (!isEnabled(level)) {
        return;
    }
    if (m_bSyslog) {
        va_list copy;
        va_copy(copy, args);
        vsyslog(logLevelToSyslog(level), format, copy);
        va_end(copy);
    }
    const char* name = logLevelName(level);
    if (m_bStderr) {
        va_list copy;
        va_copy(copy, args);
        fputs(name, stderr);
        fputs(": ", stderr);
        vfprintf(stderr, format, copy);
        fputc('\n', stderr);
        va_end(copy);
    }
    for (FileOutput& f : m_lFiles) {
        if (static_cast<int>(f.m_nLevel) > static_cast<int>(level)) {
            continue;
        }
        va_list copy;
        va_copy(copy, args);
        fputs(name, f.m_pStream);
        fputs(": ", f.m_pStream);
        vfprintf(f.m_pStream, format, copy);
        fputc('\n', f.m_pStream);
        fflush(f.m_pStream);
        va_end(copy);
    }
}

Logger& theLogger() {
    // Never destroyed: messages may still be logged by static destructors.
    static Logger* logger = new Logger();
    return *logger;
}

namespace {
// Flushes and closes the file outputs when the process exits normally.
struct LoggerCloser {
    ~LoggerCloser() { theLogger().closeFiles(); }
} g_loggerCloser;
}  // namespace

const char* logLevelName(LogLevel level) {
    switch (level) {
        case LogLevel::Trace:
            return "TRACE";
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Info:
            return "INFO";
        case LogLevel::Warning:
            return "WARNING";
        case LogLevel::Error:
            return "ERROR";
        case LogLevel::Fatal:
            return "FATAL";
    }
    return "UNKNOWN";
}

int logLevelToSyslog(LogLevel level) {
    switch (level) {
        case LogLevel::Trace:
        case LogLevel::Debug:
            return LOG_DEBUG;
        case LogLevel::Info:
            return LOG_INFO;
        case LogLevel::Warning:
            return LOG_WARNING;
        case LogLevel::Error:
            return LOG_ERR;
        case LogLevel::Fatal:
            return LOG_CRIT;
    }
    return LOG_DEBUG;
}

LogLevel parseLogLevel(const std::string& text) {
    static const struct {
        const char* name;
        LogLevel level;
    } names[] = {{"trace", LogLevel::Trace}, {"debug", LogLevel::Debug},
                 {"info", LogLevel::Info},   {"warn", LogLevel::Warning},
                 {"error", LogLevel::Error}, {"fatal", LogLevel::Fatal}};
    for (const auto& n : names) {
        if (text == n.name) {
            return n.level;
        }
    }
    LOGE("unrecognized logger level '%s' using 'info'", text.c_str());
    return LogLevel::Info;
}

int parseSyslogFacility(const std::string& text) {
    static const struct {
        const char* name;
        int facility;
    } names[] = {{"daemon", LOG_DAEMON}, {"user", LOG_USER},     {"local0", LOG_LOCAL0},
                 {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3},
                 {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6},
                 {"local7", LOG_LOCAL7}};
    for (const auto& n : names) {
        if (text == n.name) {
            return n.facility;
        }
    }
    LOGE("unrecognized syslog facility '%s' using 'daemon'", text.c_str());
    return LOG_DAEMON;
}

std::string errnoString() {
    char buffer[256];
    buffer[0] = '\0';
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(errno, buffer, sizeof(buffer));
    return text != nullptr ? std::string(text) : std::string(buffer);
}

int rpmLogCallback(struct rpmlogRec_s* rec, void* /*data*/) {
    LogLevel level;
    rpmlogLvl priority = rpmlogRecPriority(rec);
    switch (priority) {
        case RPMLOG_EMERG:
        case RPMLOG_ALERT:
        case RPMLOG_CRIT:
            level = LogLevel::Fatal;
            break;
        case RPMLOG_ERR:
            level = LogLevel::Error;
            break;
        case RPMLOG_WARNING:
            level = LogLevel::Warning;
            break;
        case RPMLOG_NOTICE:
        case RPMLOG_INFO:
            level = LogLevel::Info;
            break;
        case RPMLOG_DEBUG:
            level = LogLevel::Debug;
            break;
        default:
            level = LogLevel::Error;
            break;
    }
    const char* message = rpmlogRecMessage(rec);
    std::string text = message != nullptr ? message : "";
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    LOG_AT(level, "rpmlib: %s", text.c_str());
    return 0;
}
