// Runs inside a sandbox: the configuration reader probes fixed paths.
#include "config/config.h"

#include "xml/xml_util.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include "harness/log_capture.h"
#include "harness/sandbox.h"
#include "support/paths.h"

namespace {

using Names = std::vector<std::string>;

class ConfigFile : public ::testing::Test {
protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        removeTree(paths::kUsbUpdatesDir);
        removeTree(paths::kLegacyUsbUpdatesDir);
    }
    bool load(Config& c, const std::string& content, bool defaults = false) {
        const std::string path = scratch.file("c" + std::to_string(files++) + ".conf");
        writeHostFile(path, content);
        return c.load(path, defaults);
    }
    static Names ids(const Config& c, bool enabledOnly = false) {
        Names result;
        for (const Repository& r : c.m_lRepositories) {
            if (r.m_bEnabled || !enabledOnly) {
                result.push_back(r.m_sId);
            }
        }
        return result;
    }
    LogCapture log;
    ScratchDir scratch;
    int files = 0;
};

TEST_F(ConfigFile, BuiltInUsbSourceFallsBackToTheLegacyPathOnlyWhenTheNewOneIsMissing) {
    {
        Config c;
        EXPECT_EQ(c.m_nSyslogFacility, LOG_DAEMON);
        EXPECT_EQ(ids(c), Names{"local-usb"});
        const Repository& usb = c.m_lRepositories.front();
        EXPECT_EQ(usb.m_sLocation, paths::kUsbUpdatesDir);
        EXPECT_FALSE(usb.m_bEnabled);
        EXPECT_TRUE(usb.m_bFromDefaults);
    }
    makeDirs(paths::kLegacyUsbUpdatesDir);
    {
        Config c;
        EXPECT_EQ(c.m_lRepositories.front().m_sLocation, paths::kLegacyUsbUpdatesDir);
        EXPECT_TRUE(log.has("WARNING: falling back to legacy USB update source '" +
                            std::string(paths::kLegacyUsbUpdatesDir) + "'"));
    }
    log.clear();
    makeDirs(paths::kUsbUpdatesDir);
    Config c;
    EXPECT_EQ(c.m_lRepositories.front().m_sLocation, paths::kUsbUpdatesDir);
    EXPECT_FALSE(log.contains("legacy"));
}

TEST_F(ConfigFile, LayersAddUpListsAndTheLastFileWinsSingleValues) {
    Config c;
    ASSERT_TRUE(load(c, R"(<?xml version="1.0"?>
<updater>
  <log level="debug"><logger type="stderr"/></log>
  <repository id="base" enabled="false"><name>Default base</name><location href="http://a/"/></repository>
  <repository id="extra"><name>Extra</name><location href="http://x/"/></repository>
  <product><name>player-1</name>
    <packages>
      <release><package><name>rel-a</name></package></release>
      <addons><package><name>a1</name><name>a2</name></package><group><name>g1</name></group></addons>
      <preliminary><package><name>p1</name></package><group><name>drivers</name></group></preliminary>
      <repo-required><package><name>r1</name></package></repo-required>
    </packages>
  </product>
  <user-agent><base>UA</base><prodname>Player</prodname></user-agent>
</updater>)",
                     true));
    ASSERT_TRUE(load(c, R"(<updater>
  <log><logger type="syslog"><facility>user</facility><facility>local2</facility></logger></log>
  <repository id="tlq100"><name>Site base</name><location href="http://b/"/></repository>
  <product><packages>
      <release><package><name>rel-b</name></package></release>
      <fw-upgrade-pkg><package><name>fw-up</name></package></fw-upgrade-pkg>
      <addons><package><name>a2</name></package></addons>
  </packages></product>
</updater>)"));
    // A defaults entry is replaced and moves to the end; the legacy ID is base.
    EXPECT_EQ(ids(c), (Names{"local-usb", "extra", "base"}));
    const Repository* base = c.findRepository("base");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->m_sName, "Site base");
    EXPECT_EQ(base->m_sLocation, "http://b/");
    EXPECT_TRUE(base->m_bEnabled);
    EXPECT_FALSE(base->m_bFromDefaults);
    EXPECT_TRUE(c.findRepository("extra")->m_bFromDefaults);
    EXPECT_EQ(c.findRepository("Base"), nullptr);
    EXPECT_TRUE(log.has("DEBUG: replacing repo ID 'tlq100' by 'base' for backwards compatibility"));
    EXPECT_TRUE(log.has("DEBUG: replacing default definition of repo 'base'"));
    EXPECT_TRUE(log.has("DEBUG: ignoring package group named 'drivers' in config file line 10"));

    EXPECT_EQ(c.m_nLogLevel, LogLevel::Debug);  // the second file sets no level
    EXPECT_TRUE(c.m_bLogStderr);                // never cleared by a later file
    EXPECT_TRUE(c.m_bLogSyslog);
    EXPECT_EQ(c.m_nSyslogFacility, LOG_LOCAL2);
    EXPECT_EQ(c.m_sProduct, "player-1");
    EXPECT_EQ(c.m_sReleasePkg, "rel-b");
    EXPECT_EQ(c.m_sFwUpgradePkg, "fw-up");
    EXPECT_EQ(
        (std::vector<Names>{c.m_vAddons, c.m_vAddonGroups, c.m_vPreliminary, c.m_vRepoRequired}),
        (std::vector<Names>{{"a1", "a2", "a2"}, {"g1"}, {"p1"}, {"r1"}}));
    EXPECT_EQ(c.m_network.m_sUserAgentBase, "UA");
    EXPECT_EQ(c.m_network.m_sUserAgentProdname, "Player");
}

TEST_F(ConfigFile, EnabledOnlyForExactlyTrueOrWhenAbsent) {
    Config c;
    ASSERT_TRUE(load(c, R"(<updater>
  <repository id="r1" enabled="true"><location href="x"/></repository>
  <repository id="r2" enabled="TRUE"><location href="x"/></repository>
  <repository id="r3" enabled="yes"><location href="x"/></repository>
  <repository id="r4" enabled=""><location href="x"/></repository>
  <repository id="r5"><location href="x"/></repository>
</updater>)"));
    EXPECT_EQ(ids(c, true), (Names{"r1", "r5"}));
}

TEST_F(ConfigFile, EveryMalformedFileFailsCleanly) {
    const std::string product = "<updater><product><packages>";
    struct Case {
        std::string content;
        const char* message;  // expected log line, or "" for none of its own
    } cases[] = {
        {"<config/>", "ERROR: bad top-level element, 'config' instead of 'updater'"},
        {"<updater><repository><location href=\"x\"/></repository></updater>",
         "ERROR: no 'id' attribute in 'repository' element"},
        {"<updater><repository id=\"a\"><location/></repository></updater>",
         "ERROR: no 'href' attribute in 'location' element"},
        {"<updater><repository id=\"a\"><name>A</name></repository></updater>",
         "ERROR: no URI for repository 'a'"},
        {"<updater><repository id=\"a\"><location href=\"\"/></repository></updater>",
         "ERROR: no URI for repository 'a'"},
        {"<updater><repository id=\"a\"><location href=\"x\"/></repository>"
         "<repository id=\"a\"><location href=\"y\"/></repository></updater>",
         "ERROR: more than one repository with same ID"},
        {"<updater><repository id=\"a\"><name/><location href=\"x\"/></repository></updater>",
         "DEBUG: no string list for node 'name'"},
        {"<updater><user-agent><base/></user-agent></updater>",
         "DEBUG: no string list for node 'base'"},
        {product + "<release><package><name>a</name><name>b</name></package></release>", ""},
        {product + "<fw-upgrade-pkg><group><name>g</name></group></fw-upgrade-pkg>", ""},
        {"<updater><log><logger type=\"syslog\"/></log></updater>", ""},
        {"<updater><log><logger/></log></updater>", ""},
        {"", ""},
        {"<updater><repository id=\"a\">", ""},
        {"<updater></updatr>", ""},
        {"not xml at all", ""},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><updater><product><name>\xff\xfe</name>"
         "</product></updater>",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        log.clear();
        Config config;
        EXPECT_FALSE(load(config, c.content));
        EXPECT_FALSE(config.m_bLogSyslog);
        if (*c.message != '\0') {
            EXPECT_TRUE(log.has(c.message)) << log.text();
        }
    }
    // What was read before a failure stays.
    Config config;
    EXPECT_FALSE(load(config, cases[5].content));
    EXPECT_EQ(config.findRepository("a")->m_sLocation, "x");

    EXPECT_FALSE(config.load(scratch.file("missing.conf"), false));
    EXPECT_TRUE(
        log.has("ERROR: could not open configuration file '" + scratch.file("missing.conf") + "'"));
    EXPECT_FALSE(config.load(scratch.path(), false));
}

TEST_F(ConfigFile, DeepLargeAndDtdDocuments) {
    std::string nested = "<updater>";
    for (int i = 0; i < 5000; ++i) {
        nested += "<x>";
    }
    Config deep;
    EXPECT_FALSE(load(deep, nested));

    // Tens of megabytes of unrelated elements are streamed, not held.
    const std::string path = scratch.file("large.conf");
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("<updater>", f);
    for (int i = 0; i < 400000; ++i) {
        fputs("<other attribute=\"some value\">some text content here</other>\n", f);
    }
    fputs("<product><name>late</name></product></updater>", f);
    fclose(f);
    Config large;
    EXPECT_TRUE(large.load(path, false));
    EXPECT_EQ(large.m_sProduct, "late");

    // An external DTD is never read: its default attribute does not apply.
    const std::string dtd = scratch.file("evil.dtd");
    writeHostFile(dtd, "<!ATTLIST repository enabled CDATA \"false\">\n");
    Config c;
    ASSERT_TRUE(load(c, "<!DOCTYPE updater SYSTEM \"" + dtd +
                            "\"><updater><repository id=\"r\"><location href=\"x\"/>"
                            "</repository></updater>"));
    ASSERT_NE(c.findRepository("r"), nullptr);
    EXPECT_TRUE(c.findRepository("r")->m_bEnabled);
}

}  // namespace
