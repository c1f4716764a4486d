// End-to-end: configuration layers, repository selection and logging as the
// real binary applies them at start-up.
#include <gtest/gtest.h>
#include <syslog.h>

#include "harness/sandbox.h"

namespace {

const char* kDefaults = "/usr/share/resources/default/updater/defaults.conf";

class StartupConfig : public ::testing::Test {
protected:
    void SetUp() override { sandbox.writeFile(kDefaults, "<updater/>\n"); }
    Sandbox sandbox;
};

TEST_F(StartupConfig, RepositoryOptionsAndTheirExitCodes) {
    sandbox.writeConfig(R"(<updater><log><logger type="stderr"/></log>
  <repository id="main"><name>Main</name><location href="http://127.0.0.1:1/main"/></repository>
  <repository id="spare"><name>Spare</name><location href="/var/lib/updater/no-such-repo"/></repository>
</updater>)");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string line;
    } cases[] = {
        {{}, 1, "ERROR: only one active repository supported"},
        {{"--repo-url", ":http://x"}, 1, "ERROR: missing ID in --repo-url option"},
        {{"--repo-url", "main:"}, 1, "ERROR: missing URL in --repo-url option"},
        {{"--repo-url", "main"}, 1, "ERROR: missing ':' in --repo-url option"},
        {{"--repo", "nosuch"}, 1, "ERROR: no repository with ID 'nosuch'"},
        {{"--repo", "spare", "--repo-url", "gone:file:/x"},
         -1,
         "WARNING: ignoring URL override for non-existing repo 'gone'"},
    };
    for (const Case& c : cases) {
        RunResult r = sandbox.run(c.args);
        EXPECT_EQ(r.errCount(c.line), 1) << r.describe();
        if (c.exitCode >= 0) {
            EXPECT_EQ(r.exitCode, c.exitCode) << r.describe();
            EXPECT_TRUE(r.errHas("INFO: --- EXIT ERROR ---"));
            EXPECT_FALSE(r.errHas("--- MODE")) << r.describe();
        } else {
            // The selection was accepted and the start-up went on.
            EXPECT_TRUE(r.errHas("INFO: --- MODE update ---")) << r.describe();
        }
    }
}

TEST_F(StartupConfig, LoggingFollowsTheConfigurationFile) {
    sandbox.writeFile(kDefaults, R"(<updater><log><logger type="stderr"/></log></updater>)");
    sandbox.writeConfig(R"(<updater><log level="debug">
  <logger type="syslog"><facility>local6</facility></logger>
  <logger type="carrier-pigeon"/>
</log></updater>)");
    RunResult r = sandbox.run({"--check-only"});
    // stderr from the defaults file stays on; the level and syslog come from the file.
    EXPECT_TRUE(r.errHas("DEBUG: initialized OK\n")) << r.describe();
    // Messages of the reading itself appear only with a debug level on the command line.
    EXPECT_FALSE(r.errHas("carrier-pigeon"));
    EXPECT_TRUE(sandbox.run({"--log-level", "debug"})
                    .errHas("DEBUG: ignoring unknown 'carrier-pigeon' logger type\n"));
    bool sawDebug = false;
    for (const SyslogRecord& rec : r.syslog) {
        EXPECT_EQ(rec.facility, LOG_LOCAL6 >> 3) << rec.text;
        if (rec.text == "initialized OK") {
            sawDebug = rec.priority == LOG_DEBUG;
        }
    }
    EXPECT_TRUE(sawDebug);
}

TEST_F(StartupConfig, NoOutputConfiguredSwitchesStderrOn) {
    sandbox.writeConfig("<updater/>");
    RunResult r = sandbox.run({"--log-to", "/tmp/x.log"});
    EXPECT_TRUE(r.errHas("ERROR: no log output! enabling stderr\n")) << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- MODE update ---\n"));
    EXPECT_NE(sandbox.readFile("/tmp/x.log").find("no log output! enabling stderr"),
              std::string::npos);
}

TEST_F(StartupConfig, BrokenConfigurationEndsTheRun) {
    for (const char* content : {"<updater><repository id=\"a\"/></updater>", "<<<", "<other/>"}) {
        sandbox.writeConfig(content);
        RunResult r = sandbox.run({});
        EXPECT_EQ(r.exitCode, 1) << r.describe();
        EXPECT_TRUE(r.errHas("ERROR: failed parsing configuration file '/etc/updater.conf'\n"));
        EXPECT_FALSE(r.errHas("--- MODE"));
    }
    // A broken defaults file is only a debug note.
    sandbox.writeFile(kDefaults, "<broken");
    sandbox.writeConfig(Sandbox::simpleConfig());
    RunResult r = sandbox.run({"--log-level", "debug"});
    EXPECT_TRUE(
        r.errHas("DEBUG: missing or incorrect defaults file '" + std::string(kDefaults) + "'\n"))
        << r.describe();
    EXPECT_TRUE(r.errHas("INFO: --- MODE update ---"));
}

TEST_F(StartupConfig, CacheDirOptionIsNormalised) {
    sandbox.writeConfig(Sandbox::simpleConfig());
    EXPECT_TRUE(sandbox.run({"--cache-dir", "var/cache"})
                    .errHas("WARNING: cache dir 'var/cache' is not an absolute path\n"));
    EXPECT_TRUE(
        sandbox.run({"--cache-dir", ""}).errHas("WARNING: cache dir empty, assuming './'\n"));
}

TEST_F(StartupConfig, HomeIsTakenFromTheUserDatabaseWhenUnset) {
    sandbox.writeConfig(Sandbox::simpleConfig("", "debug"));
    RunOptions options;
    options.unsetEnv = {"HOME"};
    RunResult r = sandbox.run({}, options);
    EXPECT_TRUE(r.errHas("DEBUG: HOME set to '/root' in environment\n")) << r.describe();
    RunResult withHome = sandbox.run({});
    EXPECT_FALSE(withHome.errHas("HOME set"));
}

TEST_F(StartupConfig, OsReleaseCanDisableUpdates) {
    sandbox.writeConfig(Sandbox::simpleConfig());
    sandbox.writeFile("/etc/os-release", "NAME=\"Player OS\"\nVTX_NO_UPDATE=\"service mode\"\n");
    RunResult r = sandbox.run({"--check-only"});
    EXPECT_EQ(r.exitCode, 1) << r.describe();
    EXPECT_TRUE(r.errHas("ERROR: firmware update is disabled: service mode\n"));
    EXPECT_FALSE(sandbox.exists("/var/lib/updater/status"));

    sandbox.writeFile("/etc/os-release", "NAME=\"Player OS\"\nVTX_NO_UPDATEX=1\n");
    EXPECT_FALSE(sandbox.run({"--check-only"}).errHas("firmware update is disabled"));
}

}  // namespace
