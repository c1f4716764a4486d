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
        last = scratch.file("c" + std::to_string(files++) + ".conf");
        writeHostFile(last, content);
        return c.load(last, defaults);
    }
    // The text with "@" standing for the file last read.
    std::string named(std::string text) const {
        const size_t at = text.find('@');
        return at == std::string::npos ? text : text.replace(at, 1, last);
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
    std::string last;
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
  <index-signature max-age-days="30"/>
  <low-speed bytes="0" seconds="30"/>
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
  <low-speed bytes="5000"/>
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
    EXPECT_EQ(c.m_nMaxIndexAgeDays, 30);
    EXPECT_EQ(c.m_network.m_nLowSpeedBytes, 5000);
    EXPECT_EQ(c.m_network.m_nLowSpeedSeconds, 30);
    // Every element and attribute of the format is known, as in the shipped file.
    Config shipped;
    ASSERT_TRUE(shipped.load(PROJECT_DIR "/packaging/updater.conf", false));
    EXPECT_FALSE(log.contains("WARNING: ")) << log.text();
}

// A mistake gets one warning naming it, the file and the line, and the file
// is read as before; content of other namespaces is left alone.
TEST_F(ConfigFile, MistakesAreWarnedAboutWithFileAndLine) {
    const std::string unknown = "WARNING: unknown element '";
    const std::string value = "WARNING: unknown value '";
    const struct {
        int kind;  // configuration, defaults, proxy
        std::string content;
        Names warnings;
    } cases[] = {
        {0,
         R"(<updater xmlns:ext="urn:example:ext" ext:version="2">
  <repositry id="a"><location href="x"/></repositry>
  <repository id="b" enable="false" enabled="yes" ext:note="n" xml:lang="en">
    <name>B</name><location href="y" hreff="z"/><mirror href="m"/><ext:mirror/>
  </repository>
  <log><logger type="sylog"><facility>user</facility></logger><loger type="stderr"/></log>
  <product><name>p</name><packages>
    <relase><package><name>r</name></package></relase>
    <adons><package><name>a</name></package></adons>
    <addons><package><nmae>x</nmae><name>y</name></package><group><name>g</name></group></addons>
  </packages></product>
  <max-wait-time>60</max-wait-time>
  <ext:anything><whatever/></ext:anything>
  <user-agent><base>B</base><prodnme>P</prodnme></user-agent>
</updater>)",
         {unknown + "repositry' in '@' line 2, ignored",
          "WARNING: unknown attribute 'enable' of element 'repository' in '@' line 3, ignored",
          value + "yes' of attribute 'enabled' of element 'repository' in '@' line 3, taken as "
                  "'false'",
          "WARNING: unknown attribute 'hreff' of element 'location' in '@' line 4, ignored",
          unknown + "mirror' in '@' line 4, ignored",
          value + "sylog' of attribute 'type' of element 'logger' in '@' line 6, logger ignored",
          unknown + "loger' in '@' line 6, ignored", unknown + "relase' in '@' line 8, ignored",
          unknown + "adons' in '@' line 9, ignored", unknown + "nmae' in '@' line 10, ignored",
          unknown + "max-wait-time' in '@' line 12, ignored",
          unknown + "prodnme' in '@' line 14, ignored"}},
        {1,
         R"(<updater size="1">
  <repository id="base" enabled="TRUE"><location href="x"/><tls system-ca="yes" ca="c"/></repository>
  <product><packages><preliminary><package><name>p</name></package><groupp/></preliminary></packages></product>
  <low-speed bytes="-1" seconds="0"/>
</updater>)",
         {"WARNING: unknown attribute 'size' of element 'updater' in '@' line 1, ignored",
          value + "TRUE' of attribute 'enabled' of element 'repository' in '@' line 2, taken as "
                  "'false'",
          "WARNING: unknown attribute 'ca' of element 'tls' in '@' line 2, ignored",
          value + "yes' of attribute 'system-ca' of element 'tls' in '@' line 2, taken as 'false'",
          unknown + "groupp' in '@' line 3, ignored",
          value + "-1' of attribute 'bytes' of element 'low-speed' in '@' line 4, ignored",
          value + "0' of attribute 'seconds' of element 'low-speed' in '@' line 4, ignored"}},
        {2,
         R"(<proxyconf>
  <proxy server="p" port="3128" bypassLocalNetwork="no" user="u">
    <password>pw</password>
  </proxy>
  <x><proxi server="q" port="1"/></x>
</proxyconf>)",
         {"WARNING: unknown attribute 'user' of element 'proxy' in '@' line 2, ignored",
          value + "no' of attribute 'bypassLocalNetwork' of element 'proxy' in '@' line 2, "
                  "taken as 'on'",
          unknown + "password' in '@' line 3, ignored", unknown + "x' in '@' line 5, ignored"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        log.clear();
        Config config;
        NetworkSettings network;
        if (c.kind < 2) {
            EXPECT_TRUE(load(config, c.content, c.kind == 1));
        } else {
            last = scratch.file("proxy.conf");
            writeHostFile(last, c.content);
            loadProxyFile(last, network);
        }
        Names expected;
        for (const std::string& w : c.warnings) {
            expected.push_back(named(w));
        }
        Names warnings;
        for (const std::string& line : log.lines()) {
            if (line.rfind("WARNING: ", 0) == 0) {
                warnings.push_back(line);
            }
        }
        EXPECT_EQ(warnings, expected);
        // Read as before: no active repository, no release package, no logger.
        EXPECT_EQ(ids(config), c.kind == 0   ? (Names{"local-usb", "b"})
                               : c.kind == 1 ? (Names{"local-usb", "base"})
                                             : Names{"local-usb"});
        EXPECT_EQ(ids(config, true), Names{});
        EXPECT_EQ(config.m_sReleasePkg, "");
        EXPECT_FALSE(config.m_bLogSyslog || config.m_bLogStderr);
        EXPECT_EQ(config.m_vAddons, c.kind == 0 ? Names{"y"} : Names{});
        EXPECT_EQ(network.m_sProxyServer + network.m_sProxyUser, c.kind == 2 ? "p" : "");
        EXPECT_TRUE(network.m_bProxyBypassLocal);
    }
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
        {"<updater><index-signature max-age-days=\"30d\"/></updater>",
         "ERROR: invalid 'max-age-days' value '30d' in 'index-signature' element: a number of days "
         "expected"},
        {product + "<release><package><name>a</name><name>b</name></package></release>", ""},
        {product + "<fw-upgrade-pkg><group><name>g</name></group></fw-upgrade-pkg>", ""},
        {"<updater><log><logger type=\"syslog\"/></log></updater>", ""},
        {"<updater><log><logger/></log></updater>", ""},
        // Files that cannot be parsed: the reason, once.
        {"", "ERROR: cannot parse XML file '@' line 1: no root element"},
        {"not xml at all", "ERROR: cannot parse XML file '@' line 1: no root element"},
        {"<updater>\n<repository id=\"a\">",
         "ERROR: cannot parse XML file '@' line 2: premature end of document inside element "
         "'repository'"},
        {"<updater>\n<repository id=\"a",
         "ERROR: cannot parse XML file '@' line 2: AttValue: ' expected"},
        {"<updater></updatr>",
         "ERROR: cannot parse XML file '@' line 1: opening and ending tag mismatch: updater line "
         "1 and updatr"},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><updater><product><name>\xff\xfe</name>"
         "</product></updater>",
         "ERROR: cannot parse XML file '@' line 1: input is not proper UTF-8, indicate encoding ! "
         "Bytes: 0xFF 0xFE 0x3C 0x2F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        log.clear();
        Config config;
        EXPECT_FALSE(load(config, c.content));
        EXPECT_FALSE(config.m_bLogSyslog);
        if (*c.message != '\0') {
            EXPECT_TRUE(log.has(named(c.message))) << log.text();
        }
        EXPECT_LE(log.countContaining("ERROR: cannot parse"), 1) << log.text();
    }
    // What was read before a failure stays.
    Config config;
    EXPECT_FALSE(load(config, cases[5].content));
    EXPECT_EQ(config.findRepository("a")->m_sLocation, "x");

    // Files of every kind that cannot be read or parsed: the reason, but for
    // an optional file that is just not there, and the kind's own message.
    writeHostFile(scratch.file("plain"), "<updater/>");
    writeHostFile(scratch.file("empty.conf"), "");
    const std::pair<std::string, std::string> broken[] = {
        {scratch.file("missing.conf"), "(No such file or directory)"},
        {scratch.path(), "(Is a directory)"},
        {scratch.file("plain") + "/x.conf", "(Not a directory)"},
        {scratch.file("empty.conf"), "line 1: no root element"},
    };
    for (const auto& [path, reason] : broken) {
        for (int kind = 0; kind < 3; ++kind) {  // configuration, defaults, proxy
            SCOPED_TRACE(path + " " + std::to_string(kind));
            log.clear();
            Config c;
            NetworkSettings network;
            if (kind < 2) {
                EXPECT_FALSE(c.load(path, kind == 1));
            } else {
                loadProxyFile(path, network);
            }
            const bool parsed = reason[0] == 'l';
            const bool absent = kind > 0 && reason == "(No such file or directory)";
            EXPECT_EQ(log.count("ERROR: cannot " + std::string(parsed ? "parse" : "read") +
                                " XML file '" + path + "' " + reason),
                      absent ? 0 : 1);
            EXPECT_EQ(log.countContaining("ERROR: "), (absent ? 0 : 1) + (kind == 0 && !parsed));
            const char* own[] = {"ERROR: could not open configuration file '",
                                 "DEBUG: could not open configuration file '",
                                 "DEBUG: no proxy configuration file '"};
            EXPECT_EQ(log.has(own[kind] + path + "'"), !parsed);
        }
    }
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
    // Warned about, but not 400,000 times.
    EXPECT_EQ(log.countContaining("WARNING: unknown element 'other' in '" + path + "'"), 50);
    EXPECT_TRUE(log.has("WARNING: more unknown elements, attributes or values in '" + path +
                        "', not reported"));

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
