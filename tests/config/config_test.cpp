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
    void SetUp() override {
        removeTree(paths::kUsbUpdatesDir);
        removeTree("/media/usb1");
    }
    void TearDown() override {
        removeTree(paths::kUsbUpdatesDir);
        removeTree("/media/usb1");
    }
    std::string write(const std::string& name, const std::string& content) {
        std::string path = scratch.file(name);
        writeHostFile(path, content);
        return path;
    }
    static std::vector<std::string> ids(const Config& c) {
        std::vector<std::string> result;
        for (const Repository& r : c.m_lRepositories) {
            result.push_back(r.m_sId);
        }
        return result;
    }
    ScratchDir scratch;
};

TEST_F(ConfigFile, BuiltInDefaults) {
    Config c;
    EXPECT_EQ(c.m_nLockTimeout, 120);
    EXPECT_EQ(c.m_nMaxWaitTime, 600);
    EXPECT_EQ(c.m_sCacheDir, "/var/cache/updater/");
    EXPECT_EQ(c.m_nLogLevel, LogLevel::Info);
    EXPECT_EQ(c.m_nSyslogFacility, LOG_DAEMON);
    ASSERT_EQ(c.m_lRepositories.size(), 1u);
    const Repository& usb = c.m_lRepositories.front();
    EXPECT_EQ(usb.m_sId, "local-usb");
    EXPECT_EQ(usb.m_sName, "Updates from local USB storage");
    EXPECT_EQ(usb.m_sLocation, "/var/lib/updater/mnt-usb-updates");
    EXPECT_FALSE(usb.m_bEnabled);
    EXPECT_TRUE(usb.m_bFromDefaults);
}

TEST_F(ConfigFile, UsbLocationFallsBackToLegacyPathOnlyWhenTheNewOneIsMissing) {
    makeDirs("/media/usb1/updates");
    {
        LogCapture log;
        Config c;
        EXPECT_EQ(c.m_lRepositories.front().m_sLocation, "/media/usb1/updates");
        EXPECT_TRUE(
            log.has("WARNING: falling back to legacy USB update source '/media/usb1/updates'"));
    }
    makeDirs(paths::kUsbUpdatesDir);
    LogCapture log;
    Config c;
    EXPECT_EQ(c.m_lRepositories.front().m_sLocation, paths::kUsbUpdatesDir);
    EXPECT_FALSE(log.contains("legacy"));
}

TEST_F(ConfigFile, LayersAddUpListsAndTheLastFileWinsSingleValues) {
    std::string defaults = write("defaults.conf", R"(<?xml version="1.0"?>
<updater>
  <log level="debug"><logger type="stderr"/></log>
  <repository id="base" enabled="false"><name>Default base</name><location href="http://a/"/></repository>
  <repository id="extra"><name>Extra</name><location href="http://x/"/></repository>
  <product><name>player-1</name>
    <packages>
      <release><package><name>rel-a</name></package></release>
      <addons><package><name>a1</name><name>a2</name></package><group><name>g1</name></group></addons>
      <preliminary><package><name>p1</name></package></preliminary>
      <repo-required><package><name>r1</name></package></repo-required>
    </packages>
  </product>
  <user-agent><base>UA</base><prodname>Player</prodname></user-agent>
</updater>)");
    std::string conf = write("updater.conf", R"(<updater>
  <log><logger type="syslog"><facility>local2</facility></logger></log>
  <repository id="base"><name>Site base</name><location href="http://b/"/></repository>
  <product><packages>
      <release><package><name>rel-b</name></package></release>
      <fw-upgrade-pkg><package><name>fw-up</name></package></fw-upgrade-pkg>
      <addons><package><name>a2</name></package></addons>
  </packages></product>
</updater>)");
    Config c;
    ASSERT_TRUE(c.load(defaults, true));
    ASSERT_TRUE(c.load(conf, false));
    EXPECT_EQ(ids(c), (Names{"local-usb", "extra", "base"}));
    const Repository* base = c.findRepository("base");
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->m_sName, "Site base");
    EXPECT_EQ(base->m_sLocation, "http://b/");
    EXPECT_TRUE(base->m_bEnabled);
    EXPECT_FALSE(base->m_bFromDefaults);
    EXPECT_TRUE(c.findRepository("extra")->m_bFromDefaults);
    EXPECT_EQ(c.findRepository("Base"), nullptr);

    EXPECT_EQ(c.m_nLogLevel, LogLevel::Debug);  // the second file sets no level
    EXPECT_TRUE(c.m_bLogStderr);                // never cleared by a later file
    EXPECT_TRUE(c.m_bLogSyslog);
    EXPECT_EQ(c.m_nSyslogFacility, LOG_LOCAL2);
    EXPECT_EQ(c.m_sProduct, "player-1");
    EXPECT_EQ(c.m_sReleasePkg, "rel-b");
    EXPECT_EQ(c.m_sFwUpgradePkg, "fw-up");
    EXPECT_EQ(c.m_vAddons, (Names{"a1", "a2", "a2"}));
    EXPECT_EQ(c.m_vAddonGroups, (Names{"g1"}));
    EXPECT_EQ(c.m_vPreliminary, (Names{"p1"}));
    EXPECT_EQ(c.m_vRepoRequired, (Names{"r1"}));
    EXPECT_EQ(c.m_network.m_sUserAgentBase, "UA");
    EXPECT_EQ(c.m_network.m_sUserAgentProdname, "Player");
}

TEST_F(ConfigFile, RepositoryRedefinitions) {
    // The built-in entry may be replaced; it moves to the end.
    Config c;
    ASSERT_TRUE(c.load(write("a.conf", R"(<updater>
  <repository id="local-usb" enabled="true"><name>Stick</name><location href="/mnt/x"/></repository>
  <repository id="main"><name>Main</name><location href="http://m/"/></repository>
</updater>)"),
                       false));
    EXPECT_EQ(ids(c), (Names{"local-usb", "main"}));
    EXPECT_EQ(c.findRepository("local-usb")->m_sLocation, "/mnt/x");

    // Two definitions in one normal file fail.
    LogCapture log;
    Config d;
    EXPECT_FALSE(d.load(write("b.conf", R"(<updater>
  <repository id="base"><location href="http://1/"/></repository>
  <repository id="base"><location href="http://2/"/></repository>
</updater>)"),
                        false));
    EXPECT_TRUE(log.has("ERROR: more than one repository with same ID"));
    // What was read before the failure stays.
    EXPECT_EQ(d.findRepository("base")->m_sLocation, "http://1/");

    // The legacy identifier becomes base and replaces a defaults entry.
    Config e;
    ASSERT_TRUE(e.load(write("c.conf", R"(<updater>
  <repository id="base"><location href="http://default/"/></repository></updater>)"),
                       true));
    ASSERT_TRUE(e.load(write("d.conf", R"(<updater>
  <repository id="tlq100"><location href="http://legacy/"/></repository></updater>)"),
                       false));
    EXPECT_EQ(ids(e), (Names{"local-usb", "base"}));
    EXPECT_EQ(e.findRepository("base")->m_sLocation, "http://legacy/");
    EXPECT_TRUE(log.has("DEBUG: replacing repo ID 'tlq100' by 'base' for backwards compatibility"));
    EXPECT_TRUE(log.has("DEBUG: replacing default definition of repo 'base'"));
}

TEST_F(ConfigFile, EnabledIsTrueOnlyForExactlyTrueOrWhenAbsent) {
    Config c;
    ASSERT_TRUE(c.load(write("e.conf", R"(<updater>
  <repository id="r1" enabled="true"><location href="x"/></repository>
  <repository id="r2" enabled="TRUE"><location href="x"/></repository>
  <repository id="r3" enabled="yes"><location href="x"/></repository>
  <repository id="r4" enabled=""><location href="x"/></repository>
  <repository id="r5"><location href="x"/></repository>
</updater>)"),
                       false));
    EXPECT_TRUE(c.findRepository("r1")->m_bEnabled);
    EXPECT_FALSE(c.findRepository("r2")->m_bEnabled);
    EXPECT_FALSE(c.findRepository("r3")->m_bEnabled);
    EXPECT_FALSE(c.findRepository("r4")->m_bEnabled);
    EXPECT_TRUE(c.findRepository("r5")->m_bEnabled);
}

TEST_F(ConfigFile, PackageListsAndGroups) {
    LogCapture log;
    Config c;
    ASSERT_TRUE(c.load(write("p.conf", R"(<updater><product><packages>
  <preliminary>
    <package><name>kernel</name></package>
    <group><name>drivers</name></group>
  </preliminary>
</packages></product></updater>)"),
                       false));
    EXPECT_EQ(c.m_vPreliminary, (Names{"kernel"}));
    EXPECT_TRUE(log.has("DEBUG: ignoring package group named 'drivers' in config file line 4"));

    Config d;
    EXPECT_FALSE(d.load(write("r.conf", R"(<updater><product><packages>
  <release><package><name>a</name></package><package><name>b</name></package></release>
</packages></product></updater>)"),
                        false));
    Config e;
    EXPECT_FALSE(e.load(write("r2.conf", R"(<updater><product><packages>
  <fw-upgrade-pkg><group><name>only-a-group</name></group></fw-upgrade-pkg>
</packages></product></updater>)"),
                        false));
}

TEST_F(ConfigFile, LoggerElements) {
    LogCapture log;
    Config c;
    ASSERT_TRUE(c.load(write("l.conf", R"(<updater><log level="warn">
  <logger type="journal"/>
  <logger type="syslog"><facility>user</facility><facility>local5</facility></logger>
</log></updater>)"),
                       false));
    EXPECT_TRUE(log.has("DEBUG: ignoring unknown 'journal' logger type"));
    EXPECT_EQ(c.m_nLogLevel, LogLevel::Warning);
    EXPECT_EQ(c.m_nSyslogFacility, LOG_LOCAL5);
    EXPECT_FALSE(c.m_bLogStderr);

    Config d;
    EXPECT_FALSE(d.load(
        write("l2.conf", R"(<updater><log><logger type="syslog"/></log></updater>)"), false));
    EXPECT_FALSE(d.m_bLogSyslog);
    Config e;
    EXPECT_FALSE(e.load(write("l3.conf", R"(<updater><log><logger/></log></updater>)"), false));
    Config f;
    ASSERT_TRUE(f.load(write("l4.conf", R"(<updater><log level="verbose"/></updater>)"), false));
    EXPECT_EQ(f.m_nLogLevel, LogLevel::Info);
    EXPECT_TRUE(log.has("ERROR: unrecognized logger level 'verbose' using 'info'"));
}

TEST_F(ConfigFile, EveryMalformedFileFailsCleanly) {
    struct Case {
        const char* content;
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
        {"<updater><repository id=\"a\"><name/><location href=\"x\"/></repository></updater>",
         "DEBUG: no string list for node 'name'"},
        {"<updater><product><name></name></product></updater>",
         "DEBUG: no string list for node 'name'"},
        {"<updater><user-agent><base/></user-agent></updater>",
         "DEBUG: no string list for node 'base'"},
        {"", ""},
        {"<updater><repository id=\"a\">", ""},
        {"<updater></updatr>", ""},
        {"not xml at all", ""},
        {"<?xml version=\"1.0\" encoding=\"UTF-8\"?><updater><product><name>\xff\xfe</name>"
         "</product></updater>",
         ""},
    };
    for (const Case& c : cases) {
        LogCapture log;
        Config config;
        EXPECT_FALSE(config.load(write("bad.conf", c.content), false)) << c.content;
        if (*c.message != '\0') {
            EXPECT_TRUE(log.has(c.message)) << c.content << "\n" << log.text();
        }
    }
    LogCapture log;
    Config config;
    EXPECT_FALSE(config.load(scratch.file("missing.conf"), false));
    EXPECT_TRUE(
        log.has("ERROR: could not open configuration file '" + scratch.file("missing.conf") + "'"));
    EXPECT_FALSE(config.load(scratch.path(), false));
}

TEST_F(ConfigFile, DeepAndLargeDocumentsNeitherCrashNorHang) {
    std::string deep = "<updater>";
    for (int i = 0; i < 5000; ++i) {
        deep += "<x>";
    }
    Config c;
    EXPECT_FALSE(c.load(write("deep.conf", deep), false));

    // Tens of megabytes of unrelated elements are streamed, not held.
    std::string path = scratch.file("large.conf");
    FILE* f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("<updater>", f);
    for (int i = 0; i < 400000; ++i) {
        fputs("<other attribute=\"some value\">some text content here</other>\n", f);
    }
    fputs("<product><name>late</name></product></updater>", f);
    fclose(f);
    Config d;
    EXPECT_TRUE(d.load(path, false));
    EXPECT_EQ(d.m_sProduct, "late");
}

TEST_F(ConfigFile, ExternalEntitiesAndDtdsAreNeverLoaded) {
    std::string secret = write("secret.txt", "TOP-SECRET-CONTENT");
    std::string dtd = write("evil.dtd",
                            "<!ATTLIST repository enabled CDATA \"false\">\n"
                            "<!ENTITY leak \"TOP-SECRET-DTD\">\n");
    std::string doc = write("xxe.conf",
                            "<?xml version=\"1.0\"?>\n"
                            "<!DOCTYPE updater SYSTEM \"" +
                                dtd +
                                "\" [\n"
                                "  <!ENTITY file SYSTEM \"file://" +
                                secret +
                                "\">\n"
                                "  <!ENTITY local \"site\">\n"
                                "]>\n"
                                "<updater>\n"
                                "  <product><name>&local;-&file;</name></product>\n"
                                "  <repository id=\"r\"><location href=\"x\"/></repository>\n"
                                "</updater>\n");
    LogCapture log;
    Config c;
    c.load(doc, false);
    EXPECT_EQ(c.m_sProduct.find("TOP-SECRET"), std::string::npos) << c.m_sProduct;
    EXPECT_EQ(log.text().find("TOP-SECRET"), std::string::npos) << log.text();
    // The DTD's default attribute did not apply.
    const Repository* r = c.findRepository("r");
    if (r != nullptr) {
        EXPECT_TRUE(r->m_bEnabled);
    }
}

// Entities are neither declared nor expanded: memory stays bounded whatever
// the file holds. Predefined entities, character references and a plain
// DOCTYPE stay accepted.
TEST_F(ConfigFile, EntityDeclarationsAndOverlongValuesRefuseTheFile) {
    const std::string product = "<updater><product><name>";
    const std::string end = "</name></product></updater>";
    std::string bomb =
        "<!DOCTYPE updater [<!ENTITY big \"" + std::string(100000, 'x') + "\">]>" + product;
    for (int i = 0; i < 20000; ++i) {
        bomb += "&big;";
    }
    bomb += end;
    std::string nested = "<!DOCTYPE updater [<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 30; ++i) {
        nested += "<!ENTITY l" + std::to_string(i) + " \"&l" + std::to_string(i - 1) + ";&l" +
                  std::to_string(i - 1) + ";\">";
    }
    nested += "]>" + product + "&l30;" + end;
    const std::string entities = "entity declarations and references are not allowed";
    const std::string tooLong = "a value is longer than 65536 bytes";
    const struct {
        const char* name;
        std::string text;
        std::string refusal;  // empty: loads
        std::string product;
    } cases[] = {
        {"declared", "<!DOCTYPE updater [<!ENTITY p \"player\">]>" + product + "&p;" + end,
         entities, ""},
        {"declared, unused", "<!DOCTYPE updater [<!ENTITY p \"player\">]>" + product + "x" + end,
         entities, ""},
        {"parameter entity", "<!DOCTYPE updater [<!ENTITY % p \"x\">]>" + product + "x" + end,
         entities, ""},
        {"in an attribute",
         "<!DOCTYPE updater [<!ENTITY p \"base\">]><updater><repository id=\"&p;\">"
         "<location href=\"x\"/></repository></updater>",
         entities, ""},
        {"100 kB entity 20,000 times", bomb, entities, ""},
        // libxml2 itself may give up on the loop first.
        {"nested", nested, "*", ""},
        {"text over the limit", product + std::string(kMaxXmlValueLength + 1, 'n') + end, tooLong,
         ""},
        {"attribute over the limit",
         "<updater><repository id=\"" + std::string(kMaxXmlValueLength + 1, 'i') +
             "\"><location href=\"x\"/></repository></updater>",
         tooLong, ""},
        {"text at the limit", product + std::string(kMaxXmlValueLength, 'n') + end, "",
         std::string(kMaxXmlValueLength, 'n')},
        {"plain DOCTYPE", "<!DOCTYPE updater>" + product + "player" + end, "", "player"},
        {"DOCTYPE with an element declaration",
         "<!DOCTYPE updater [<!ELEMENT updater ANY>]>" + product + "player" + end, "", "player"},
        {"predefined and character references", product + "p&amp;&lt;&#65;&#x42;" + end, "",
         "p&<AB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = write("guard.conf", c.text);
        LogCapture log;
        Config config;
        const bool loaded = config.load(path, false);
        EXPECT_EQ(loaded, c.refusal.empty());
        if (c.refusal.empty()) {
            EXPECT_EQ(config.m_sProduct, c.product);
            EXPECT_FALSE(log.contains("refusing XML file"));
        } else {
            if (c.refusal != "*") {
                EXPECT_EQ(
                    log.countContaining("ERROR: refusing XML file '" + path + "': " + c.refusal), 1)
                    << log.text();
            }
            EXPECT_LT(log.text().size(), 8192u);
        }
    }
}

}  // namespace
