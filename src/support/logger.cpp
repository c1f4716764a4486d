#include "support/logger.h"

#include <rpm/rpmlog.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "support/system.h"

Logger::~Logger() {
    closeFiles();
}

void Logger::closeFiles() {
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

bool Logger::addFile(const std::string& path, LogLevel level, FileMode mode) {
    for (FileOutput& f : m_lFiles) {
        if (f.m_sPath == path) {
            f.m_nLevel = level;
            return true;
        }
    }
    // Never through a symbolic link planted at the name.
    UniqueFile stream =
        openForWriting(path, mode == FileMode::APPEND ? WriteMode::APPEND : WriteMode::TRUNCATE);
    if (!stream) {
        LOGE("cannot open log file %s: %s", path.c_str(), errnoString().c_str());
        return false;
    }
    m_lFiles.push_back(FileOutput{path, std::move(stream), level});
    return true;
}

bool Logger::removeFile(const std::string& path) {
    for (auto it = m_lFiles.begin(); it != m_lFiles.end(); ++it) {
        if (it->m_sPath == path) {
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
    logText(level, formatLogText(format, args));
}

void Logger::logText(LogLevel level, const std::string& text) {
    if (m_pRecording != nullptr && level != LogLevel::Trace) {
        m_pRecording->emplace_back(level, text);
    }
    write(level, text);
}

void Logger::write(LogLevel level, const std::string& text) {
    if (static_cast<int>(m_nLevel) > static_cast<int>(level)) {
        return;
    }
    if (level >= LogLevel::Error) {
        if (m_sFirstError.empty()) {
            m_sFirstError = text;
        }
        m_sLastError = text;
    }
    if (m_bSyslog) {
        syslog(logLevelToSyslog(level), "%s", text.c_str());
    }
    const char* name = logLevelName(level);
    if (m_bStderr) {
        fprintf(stderr, "%s: %s\n", name, text.c_str());
    }
    for (FileOutput& f : m_lFiles) {
        if (static_cast<int>(f.m_nLevel) > static_cast<int>(level)) {
            continue;
        }
        fprintf(f.m_pStream.get(), "%s: %s\n", name, text.c_str());
        fflush(f.m_pStream.get());
    }
}

namespace {

std::string formatRaw(const char* format, va_list args) {
    char buffer[512];
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(buffer, sizeof(buffer), format, copy);
    va_end(copy);
    if (length < 0) {
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof(buffer)) {
        return std::string(buffer, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_copy(copy, args);
    vsnprintf(&text[0], text.size(), format, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(length));
    return text;
}

bool isControl(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7f;
}

void appendEscaped(std::string& out, unsigned char c) {
    if (c == '\n') {
        out += "\\n";
    } else if (c == '\r') {
        out += "\\r";
    } else {
        char hex[8];
        snprintf(hex, sizeof(hex), "\\x%02x", c);
        out += hex;
    }
}

// The length of the well-formed UTF-8 sequence of two to four bytes that
// starts at text[i], or 0: overlong forms, surrogates, code points above
// U+10FFFF and cut sequences are not well-formed.
size_t utf8SequenceLength(const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        low = c == 0xe0 ? 0xa0 : low;
        high = c == 0xed ? 0x9f : high;
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        low = c == 0xf0 ? 0x90 : low;
        high = c == 0xf4 ? 0x8f : high;
    }
    if (length == 0 || text.size() - i < length) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const unsigned char b = static_cast<unsigned char>(text[i + k]);
        if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xbf)) {
            return 0;
        }
    }
    return length;
}

// Appends the character at text[i], escaped when it is a control character
// or a byte that is not part of well-formed UTF-8; returns the index after it.
size_t appendCharacter(std::string& out, const std::string& text, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : utf8SequenceLength(text, i);
    if (length == 0 || isControl(c)) {
        appendEscaped(out, c);
        return i + 1;
    }
    out.append(text, i, length);
    return i + length;
}

}  // namespace

std::string formatLogText(const char* format, va_list args) {
    std::string text = formatRaw(format, args);
    if (std::strchr(format, '\n') == nullptr) {
        return escapeLogText(text);
    }
    // A line feed written in the format itself is kept. To tell it from one
    // that came with an argument, the text is made a second time with the
    // format's line feeds replaced: only theirs differ between the two.
    std::string marked(format);
    for (char& c : marked) {
        if (c == '\n') {
            c = '\x01';
        }
    }
    const std::string second = formatRaw(marked.c_str(), args);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '\n' && i < second.size() && second[i] == '\x01') {
            out.push_back('\n');
            ++i;
        } else {
            i = appendCharacter(out, text, i);
        }
    }
    return out;
}

std::string escapeLogText(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80 &&
           !isControl(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    if (i == text.size()) {
        return text;
    }
    std::string out(text, 0, i);
    while (i < text.size()) {
        i = appendCharacter(out, text, i);
    }
    return out;
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
