#include "support/logger.h"

#include <gtest/gtest.h>
#include <rpm/rpmlog.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

#include "harness/sandbox.h"

namespace {

class LoggerTest : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return scratch_.file(name); }

    ScratchDir scratch_;
    const std::string& dir_ = scratch_.path();
};

TEST_F(LoggerTest, GlobalThresholdGatesEveryOutputAndFileLevelsFilterFurther) {
    Logger logger;
    logger.setStderr(false);
    ASSERT_TRUE(logger.addFile(file("all"), LogLevel::Trace, false));
    ASSERT_TRUE(logger.addFile(file("info"), LogLevel::Info, false));

    logger.setLevel(LogLevel::Warning);
    logger.log(LogLevel::Info, "suppressed %d", 1);
    logger.log(LogLevel::Error, "kept %s", "error");
    logger.setLevel(LogLevel::Trace);
    logger.log(LogLevel::Debug, "debug only to trace file");
    logger.log(static_cast<LogLevel>(9), "odd level");
    logger.closeFiles();

    EXPECT_EQ(readHostFile(file("all")),
              "ERROR: kept error\nDEBUG: debug only to trace file\nUNKNOWN: odd level\n");
    EXPECT_EQ(readHostFile(file("info")), "ERROR: kept error\nUNKNOWN: odd level\n");
}

TEST_F(LoggerTest, AddingTheSamePathTwiceKeepsOneStreamAndChangesItsLevel) {
    Logger logger;
    logger.setStderr(false);
    ASSERT_TRUE(logger.addFile(file("log"), LogLevel::Trace, false));
    logger.log(LogLevel::Debug, "first");
    ASSERT_TRUE(logger.addFile(file("log"), LogLevel::Error, false));
    logger.log(LogLevel::Warning, "filtered");
    logger.log(LogLevel::Error, "second");
    EXPECT_TRUE(logger.removeFile(file("log")));
    EXPECT_FALSE(logger.removeFile(file("log")));
    logger.log(LogLevel::Error, "after removal");
    // Not truncated by the second addFile, and nothing written after removal.
    EXPECT_EQ(readHostFile(file("log")), "ERROR: second\n");
}

TEST_F(LoggerTest, AppendKeepsOldContentAndTruncateDropsIt) {
    writeHostFile(file("append"), "old\n");
    writeHostFile(file("truncate"), "old\n");
    Logger logger;
    logger.setStderr(false);
    ASSERT_TRUE(logger.addFile(file("append"), LogLevel::Info, true));
    ASSERT_TRUE(logger.addFile(file("truncate"), LogLevel::Info, false));
    logger.log(LogLevel::Info, "new");
    logger.closeFiles();
    EXPECT_EQ(readHostFile(file("append")), "old\nINFO: new\n");
    EXPECT_EQ(readHostFile(file("truncate")), "INFO: new\n");
}

TEST_F(LoggerTest, UnopenableFileIsReportedAndNotAdded) {
    Logger logger;
    logger.setStderr(false);
    EXPECT_FALSE(logger.addFile(dir_ + "/missing/dir/log", LogLevel::Info, true));
}

TEST(LogLevelNames, InputNamesAreExactAndLowerCase) {
    EXPECT_EQ(parseLogLevel("trace"), LogLevel::Trace);
    EXPECT_EQ(parseLogLevel("debug"), LogLevel::Debug);
    EXPECT_EQ(parseLogLevel("warn"), LogLevel::Warning);
    EXPECT_EQ(parseLogLevel("error"), LogLevel::Error);
    EXPECT_EQ(parseLogLevel("fatal"), LogLevel::Fatal);
    EXPECT_EQ(parseLogLevel("warning"), LogLevel::Info);
    EXPECT_EQ(parseLogLevel("INFO"), LogLevel::Info);
    EXPECT_EQ(parseLogLevel(""), LogLevel::Info);
    EXPECT_STREQ(logLevelName(LogLevel::Warning), "WARNING");
    EXPECT_EQ(logLevelToSyslog(LogLevel::Fatal), LOG_CRIT);
    EXPECT_EQ(logLevelToSyslog(LogLevel::Trace), LOG_DEBUG);
    EXPECT_EQ(logLevelToSyslog(static_cast<LogLevel>(-1)), LOG_DEBUG);
}

TEST(LogLevelNames, SyslogFacilities) {
    EXPECT_EQ(parseSyslogFacility("user"), LOG_USER);
    EXPECT_EQ(parseSyslogFacility("local0"), LOG_LOCAL0);
    EXPECT_EQ(parseSyslogFacility("local7"), LOG_LOCAL7);
    EXPECT_EQ(parseSyslogFacility("local8"), LOG_DAEMON);
    EXPECT_EQ(parseSyslogFacility("Daemon"), LOG_DAEMON);
}

TEST(ErrnoString, DescribesTheCurrentError) {
    errno = ENOENT;
    EXPECT_EQ(errnoString(), "No such file or directory");
}

TEST_F(LoggerTest, RpmMessagesArriveAsOneLineWithPrefix) {
    Logger& logger = theLogger();
    logger.setStderr(false);
    ASSERT_TRUE(logger.addFile(file("rpm"), LogLevel::Trace, false));
    rpmlogSetCallback(rpmLogCallback, nullptr);
    FILE* null = fopen("/dev/null", "w");
    rpmlogSetFile(null);
    rpmlog(RPMLOG_ERR, "broken header\n");
    rpmlog(RPMLOG_NOTICE, "notice");
    rpmlog(RPMLOG_DEBUG, "below threshold\n");
    rpmlogSetFile(nullptr);
    fclose(null);
    logger.removeFile(file("rpm"));
    logger.setStderr(true);
    EXPECT_EQ(readHostFile(file("rpm")), "ERROR: rpmlib: broken header\nINFO: rpmlib: notice\n");
}

}  // namespace

// A value from outside can never start a line of its own; line feeds that the
// program writes in a format stay, and so do tabs and UTF-8 text.
TEST_F(LoggerTest, ControlCharactersInValuesAreEscaped) {
    Logger& logger = theLogger();
    logger.setStderr(false);
    ASSERT_TRUE(logger.addFile(file("escape"), LogLevel::Trace, false));
    LOGE("location '%s'", "a.rpm\r\nERROR: forged-line\n--- EXIT OK ---");
    LOGI("\t%s", "bell\a esc\x1b[31m del\x7f tab\tend");
    LOGI("first line\nsecond %s", "line\nforged");
    LOGI("%s", "Grüße");
    logger.removeFile(file("escape"));
    logger.setStderr(true);
    EXPECT_EQ(readHostFile(file("escape")),
              "ERROR: location 'a.rpm\\r\\nERROR: forged-line\\n--- EXIT OK ---'\n"
              "INFO: \tbell\\x07 esc\\x1b[31m del\\x7f tab\tend\n"
              "INFO: first line\nsecond line\\nforged\n"
              "INFO: Grüße\n");
}
