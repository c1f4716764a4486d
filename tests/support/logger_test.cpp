#include "support/logger.h"

#include <gtest/gtest.h>
#include <rpm/rpmlog.h>
#include <syslog.h>

#include "harness/log_capture.h"
#include "harness/sandbox.h"

namespace {

class LoggerTest : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return scratch.file(name); }
    ScratchDir scratch;
};

TEST_F(LoggerTest, LevelsPathsAndModesOfFileOutputs) {
    Logger logger;
    logger.setStderr(false);
    ASSERT_TRUE(logger.addFile(file("all"), LogLevel::Trace, Logger::FileMode::TRUNCATE));
    ASSERT_TRUE(logger.addFile(file("info"), LogLevel::Info, Logger::FileMode::APPEND));
    logger.setLevel(LogLevel::Warning);
    logger.log(LogLevel::Info, "suppressed %d", 1);  // the global threshold gates every file
    logger.log(LogLevel::Error, "kept %s", "error");
    logger.setLevel(LogLevel::Trace);
    logger.log(LogLevel::Debug, "debug");
    // The same path again: one stream, not truncated, with the new level.
    ASSERT_TRUE(logger.addFile(file("info"), LogLevel::Error, Logger::FileMode::TRUNCATE));
    logger.log(LogLevel::Warning, "filtered");
    logger.log(static_cast<LogLevel>(9), "odd level");
    EXPECT_TRUE(logger.removeFile(file("info")));
    EXPECT_FALSE(logger.removeFile(file("info")));
    logger.log(LogLevel::Error, "after removal");
    logger.closeFiles();
    EXPECT_EQ(readHostFile(file("all")),
              "ERROR: kept error\nDEBUG: debug\nWARNING: filtered\nUNKNOWN: odd level\n"
              "ERROR: after removal\n");
    EXPECT_EQ(readHostFile(file("info")), "ERROR: kept error\nUNKNOWN: odd level\n");

    LogCapture log;
    EXPECT_FALSE(logger.addFile(file("missing/log"), LogLevel::Info, Logger::FileMode::APPEND));
    EXPECT_TRUE(log.has("ERROR: cannot open log file " + file("missing/log") +
                        ": No such file or directory"))
        << log.text();
    EXPECT_FALSE(logger.removeFile(file("missing/log")));
}

TEST(LogLevelNames, InputNamesAreExactAndLowerCase) {
    const std::pair<const char*, LogLevel> levels[] = {
        {"trace", LogLevel::Trace}, {"warn", LogLevel::Warning}, {"error", LogLevel::Error},
        {"fatal", LogLevel::Fatal}, {"warning", LogLevel::Info}, {"INFO", LogLevel::Info}};
    for (const auto& l : levels) {
        EXPECT_EQ(parseLogLevel(l.first), l.second) << l.first;
    }
    for (const char* name : {"local8", "Daemon"}) {
        EXPECT_EQ(parseSyslogFacility(name), LOG_DAEMON) << name;
    }
    const std::pair<const char*, int> facilities[] = {
        {"user", LOG_USER}, {"local0", LOG_LOCAL0}, {"local7", LOG_LOCAL7}};
    for (const auto& f : facilities) {
        EXPECT_EQ(parseSyslogFacility(f.first), f.second) << f.first;
    }
    EXPECT_EQ(logLevelToSyslog(LogLevel::Fatal), LOG_CRIT);
    EXPECT_EQ(logLevelToSyslog(LogLevel::Trace), LOG_DEBUG);
    EXPECT_EQ(logLevelToSyslog(static_cast<LogLevel>(-1)), LOG_DEBUG);
}

// RPM's messages arrive as one line with a prefix. Control characters and
// bytes that are not UTF-8 (Latin-1, overlong forms, surrogates, cut
// sequences) of a value from outside are escaped; line feeds that the
// program writes in a format stay, and so do tabs and UTF-8 text.
TEST_F(LoggerTest, RpmMessagesAndControlCharacters) {
    Logger& logger = theLogger();
    logger.setStderr(false);
    ASSERT_TRUE(logger.addFile(file("log"), LogLevel::Trace, Logger::FileMode::TRUNCATE));
    rpmlogSetCallback(rpmLogCallback, nullptr);
    FILE* null = fopen("/dev/null", "w");
    rpmlogSetFile(null);
    rpmlog(RPMLOG_ERR, "broken header\n");
    rpmlog(RPMLOG_NOTICE, "notice");
    rpmlog(RPMLOG_DEBUG, "below threshold\n");
    rpmlogSetFile(nullptr);
    fclose(null);
    LOGI("\t%s", "bell\a esc\x1b[31m del\x7f tab\tend");
    LOGI("first line\nsecond %s", "line\nforged caf\xe9");
    LOGI("%s", "Grüße \xf0\x9f\x98\x80 \xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82");
    logger.removeFile(file("log"));
    logger.setStderr(true);
    EXPECT_EQ(readHostFile(file("log")),
              "ERROR: rpmlib: broken header\nINFO: rpmlib: notice\n"
              "INFO: \tbell\\x07 esc\\x1b[31m del\\x7f tab\tend\n"
              "INFO: first line\nsecond line\\nforged caf\\xe9\n"
              "INFO: Grüße \xf0\x9f\x98\x80 \\xc0\\xaf \\xed\\xa0\\x80 "
              "\\xf4\\x90\\x80\\x80 \\xe2\\x82\n");
}

}  // namespace
