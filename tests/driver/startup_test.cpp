// End-to-end tests of the start-up: the real binary in the sandbox.
#include <gtest/gtest.h>
#include <syslog.h>

#include <regex>

#include "harness/sandbox.h"

namespace {

std::string collapseWhitespace(const std::string& text) {
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.writeConfig(Sandbox::simpleConfig());
        sandbox.writeFile("/usr/share/resources/default/updater/defaults.conf", "<updater/>\n");
    }
    Sandbox sandbox;
};

TEST_F(Startup, HelpListsEveryOptionWithItsText) {
    RunResult r = sandbox.run({"--help"});
    ASSERT_TRUE(r.exited) << r.describe();
    EXPECT_EQ(r.exitCode, 0);
    std::string help = collapseWhitespace(r.out);
    const char* expected[] = {
        "-q, --quiet Do not output messages if nothing to be done.",
        "-l, --log-level=STRING Set the log level to one of trace, debug, info, warn, error or "
        "fatal.",
        "-r, --repo=repo-id Use the specified repo from the configuration file instead of the "
        "default.",
        "--repo-url=repo-id:url Override the URL for a specific repository ID.",
        "--log-to-stderr Output logs to stderr in addition to the outputs in the config file.",
        "--log-to=file Output logs also to the given file (not truncated)",
        "-n, --check-only Checks and reports if any updates are required, does not update any "
        "packages.",
        "-N, --test Tests the updates but does not install them.",
        "--no-sig-check disables checking of metadata and package signatures.",
        "--no-pkg-sig-check disables checking of package signatures.",
        "--no-md-sig-check disables checking of metadata signatures.",
        "--install install packages given in command line if not yet installed, by default any "
        "packages given in the command line instead restrict the updates to just those "
        "packages.",
        "--ignore-recommends ignore package recommends while solving dependencies.",
        "--no-reboot Prevent reboot after updates, even if program determines that a reboot is "
        "necessary.",
        "-b, --background Background and detach process after initialization.",
        "-C, --cache-only runs from the cache, but required packages are still downloaded.",
        "--no-cache-clean prevents the cleaning of cached packages at startup / exit, mostly "
        "intended for debugging.",
        "--check-db-headers Force checking of package headers in rpm database; these are not "
        "checked by default since it is fairly slow.",
        "--max-wait-time=seconds Specifies a maximum wait time before processing starts; the "
        "actual wait is a random duration between 0 and the specified value. Should be greater "
        "than zero or negative to disable.",
        "--lock-timeout=seconds Specifies the timeout when waiting to obtain the cache lock. "
        "Should be greater than zero or negative to disable.",
        "--cache-dir=<dir> Specify a cache directory other than the default.",
        "--conf-file=<file> Specify a configuration file other than the default "
        "'/etc/updater.conf'.",
        "Help options: -?, --help Show this help message --usage Display brief usage message",
    };
    for (const char* text : expected) {
        EXPECT_NE(help.find(text), std::string::npos) << text << "\n" << r.out;
    }
    EXPECT_EQ(r.err, "");
}

TEST_F(Startup, BadCommandLinesAreRefusedByTheOptionParser) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--bogus"}, "updater: --bogus: unknown option"},
        {{"--repo"}, "updater: --repo: missing argument"},
        {{"--max-wait-time=abc"}, "updater: --max-wait-time=abc: invalid numeric value"},
        {{"--lock-timeout", "12x"}, "updater: 12x: invalid numeric value"},
    };
    for (const Case& c : cases) {
        RunResult r = sandbox.run(c.args);
        ASSERT_TRUE(r.exited) << r.describe();
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_TRUE(r.errHas(c.message)) << r.describe();
        EXPECT_FALSE(sandbox.exists("/var/lib/updater/status"));
    }
}

TEST_F(Startup, NoRunFileStopsBeforeAnythingElse) {
    sandbox.writeFile("/var/run/updater.norun", "");
    for (const char* mode : {"--check-only", "--test"}) {
        RunResult r = sandbox.run({mode});
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_TRUE(
            r.errHas("ERROR: running is disabled by \"no run\" file '/var/run/updater.norun'\n"));
        EXPECT_TRUE(r.errHas("INFO: --- EXIT ERROR ---"));
        EXPECT_FALSE(r.errHas("--- MODE"));
        EXPECT_FALSE(sandbox.exists("/var/log/updater/lastlog"));
        EXPECT_FALSE(sandbox.exists("/var/lock/updater"));
        EXPECT_FALSE(sandbox.exists("/var/lib/updater/status"));
    }
}

TEST_F(Startup, InterruptedInstallationMarksTheSystemCorrupted) {
    sandbox.writeFile("/var/lib/updater/status", "UPDATING\n");
    RunResult r = sandbox.run({"--check-only"});
    EXPECT_EQ(r.exitCode, 2) << r.describe();
    EXPECT_TRUE(
        r.errHas("FATAL: a previous update was interrupted; SYSTEM MAY BE CORRUPTED! Aborting\n"));
    EXPECT_TRUE(r.errHas("INFO: --- EXIT FATAL ---"));
    EXPECT_EQ(sandbox.readFile("/var/lib/updater/status"), "CORRUPTED\n");
    EXPECT_EQ(sandbox.readFile("/var/lib/updater/update-state"), "CORRUPTED\n");

    // And the next start refuses as well, leaving the files alone.
    r = sandbox.run({});
    EXPECT_EQ(r.exitCode, 2) << r.describe();
    EXPECT_TRUE(r.errHas("FATAL: system is corrupted cannot update\n"));
    EXPECT_EQ(sandbox.readFile("/var/lib/updater/status"), "CORRUPTED\n");
}

TEST_F(Startup, RebootingRefusesWithError) {
    sandbox.writeFile("/var/lib/updater/status", "REBOOTING\n");
    RunResult r = sandbox.run({});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: machine is rebooting after update, cannot start\n"));
    EXPECT_EQ(sandbox.readFile("/var/lib/updater/status"), "REBOOTING\n");
}

TEST_F(Startup, PermittedStatusHandsOverToTheUpdateRun) {
    for (const char* stored : {"", "READY\n", "TESTING\n", "PKGSDONE\n", "DOWNLOADING\n"}) {
        if (*stored != '\0') {
            sandbox.writeFile("/var/lib/updater/status", stored);
        }
        RunResult r = sandbox.run({});
        EXPECT_TRUE(r.errHas("INFO: --- MODE update ---")) << r.describe();
        EXPECT_FALSE(r.errHas("cannot")) << r.describe();
        // Nothing is configured to update from, and the run says so.
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_EQ(sandbox.readFile("/var/lib/updater/status"), "READY\n");
    }
}

TEST_F(Startup, UnreadableStatusAborts) {
    for (const char* stored : {"garbage\n", "", "updating\n", "READYX\n"}) {
        sandbox.writeFile("/var/lib/updater/status", stored);
        RunResult r = sandbox.run({});
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_TRUE(r.errHas("ERROR: cannot recover status, aborting\n")) << stored;
        EXPECT_EQ(sandbox.readFile("/var/lib/updater/status"), stored);
    }
}

TEST_F(Startup, QuietSuppressesOnlyBannerAndSummary) {
    RunResult loud = sandbox.run({});
    EXPECT_TRUE(loud.errHas("INFO: updater version 1.17, product \n")) << loud.describe();
    EXPECT_TRUE(loud.errHas("INFO: --- MODE update ---\n"));
    EXPECT_TRUE(loud.errHas("INFO: --- EXIT ERROR ---\n"));

    RunResult quiet = sandbox.run({"--quiet", "--check-only"});
    EXPECT_EQ(quiet.exitCode, 1);
    EXPECT_FALSE(quiet.errHas("version 1.17")) << quiet.describe();
    EXPECT_FALSE(quiet.errHas("--- MODE"));
    EXPECT_FALSE(quiet.errHas("--- EXIT"));
    // Errors are always logged.
    EXPECT_TRUE(quiet.errHas("ERROR: ")) << quiet.describe();
}

TEST_F(Startup, ModeNameFollowsTheOptions) {
    EXPECT_TRUE(sandbox.run({"-n"}).errHas("INFO: --- MODE check ---\n"));
    EXPECT_TRUE(sandbox.run({"-N"}).errHas("INFO: --- MODE test ---\n"));
    EXPECT_TRUE(sandbox.run({"-n", "-N"}).errHas("INFO: --- MODE check ---\n"));
}

TEST_F(Startup, LogToFileAppendsEverythingAboveTheThreshold) {
    sandbox.writeFile("/tmp/extra.log", "earlier run\n");
    RunResult r = sandbox.run({"--log-to", "/tmp/extra.log", "--log-level", "trace"});
    std::string log = sandbox.readFile("/tmp/extra.log");
    EXPECT_EQ(log.rfind("earlier run\n", 0), 0u) << log;
    EXPECT_NE(log.find("DEBUG: initialized OK\n"), std::string::npos) << log;
    EXPECT_NE(log.find("TRACE: "), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: --- EXIT ERROR ---\n"), std::string::npos) << log;
    // Messages of the configuration reading reach the file too.
    sandbox.remove("/usr/share/resources/default/updater/defaults.conf");
    sandbox.run({"--log-to", "/tmp/extra.log", "--log-level", "debug"});
    log = sandbox.readFile("/tmp/extra.log");
    EXPECT_NE(log.find("DEBUG: missing or incorrect defaults file"), std::string::npos) << log;
}

TEST_F(Startup, LastLogHoldsOnlyTheLastRunAtInfo) {
    sandbox.writeFile("/var/log/updater/lastlog", "stale content\n");
    sandbox.run({"--log-level", "debug"});
    sandbox.run({"--log-level", "debug", "--check-only"});
    std::string log = sandbox.readFile("/var/log/updater/lastlog");
    EXPECT_EQ(log.find("stale content"), std::string::npos);
    EXPECT_EQ(log.find("--- MODE update ---"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: --- MODE check ---\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: --- EXIT ERROR ---\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("DEBUG:"), std::string::npos) << log;
}

TEST_F(Startup, SyslogGetsMessagesWithoutLevelPrefix) {
    sandbox.writeConfig(
        "<updater><log level=\"info\"><logger type=\"syslog\"><facility>local3</facility>"
        "</logger></log></updater>");
    RunResult r = sandbox.run({});
    EXPECT_EQ(r.err, "") << r.describe();
    bool found = false;
    for (const SyslogRecord& rec : r.syslog) {
        EXPECT_EQ(rec.ident, "updater");
        EXPECT_EQ(rec.facility, LOG_LOCAL3 >> 3);
        EXPECT_GT(rec.pid, 0);
        EXPECT_EQ(rec.text.find("INFO"), std::string::npos) << rec.text;
        if (rec.text == "--- MODE update ---") {
            found = true;
            EXPECT_EQ(rec.priority, LOG_INFO);
        }
    }
    EXPECT_TRUE(found) << r.syslog.size();
}

TEST_F(Startup, UnknownLogLevelFallsBackToInfo) {
    RunResult r = sandbox.run({"--log-level", "verbose"});
    EXPECT_TRUE(r.errHas("ERROR: unrecognized logger level 'verbose' using 'info'\n"))
        << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- MODE update ---"));
    EXPECT_FALSE(r.errHas("DEBUG:"));
}

TEST_F(Startup, MissingConfigurationFileEndsWithError) {
    RunResult r = sandbox.run({"--conf-file", "/etc/none.conf"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(r.errHas("ERROR: failed parsing configuration file '/etc/none.conf'\n"));
    EXPECT_TRUE(r.errHas("INFO: --- EXIT ERROR ---\n"));
    EXPECT_FALSE(sandbox.exists("/var/lib/updater/status"));
}

}  // namespace
