// Every XML reader of the program against hostile documents: entity
// declarations and references, external entities and DTDs, over-long values.
// Runs inside a sandbox: the configuration reader probes fixed paths.
#include <gtest/gtest.h>
#include <rpm/rpmlib.h>

#include <functional>

#include "config/config.h"
#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"
#include "net/credential_store.h"
#include "repo/package_list.h"
#include "repo/package_repo.h"
#include "xml/xml_util.h"

namespace {

struct Outcome {
    bool ok;
    std::string value;
    std::string file = "";  // that the reader read, when not the one given
};

// One reader: a document with the value placed where the reader takes it
// from (inside an element or an attribute), and the reading itself.
struct Reader {
    const char* name;
    bool attribute;
    bool gzip;
    std::function<std::string(const std::string& value)> document;
    std::function<Outcome(const std::string& path)> read;
};

class XmlGuard : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }

    // A package list with one package; the value is its name or its version.
    static Reader packageList(const char* name, bool gzip, bool version) {
        return {
            name, version, gzip,
            [version](const std::string& v) {
                return primaryListXml(
                    "<package type=\"rpm\"><name>" + (version ? "a" : v) +
                    "</name><arch>noarch</arch><version epoch=\"0\" ver=\"" + (version ? v : "1") +
                    "\"/><checksum type=\"sha256\">0</checksum><location href=\"p/a.rpm\"/>"
                    "</package>");
            },
            [version](const std::string& path) {
                PackageList list;
                const bool ok = parsePackageList(path, MetadataType::PRIMARY, list, "/cache/");
                const std::string value = list.empty() ? ""
                                          : version    ? std::string(list.begin()->m_evr.m_sVersion)
                                                       : std::string(list.begin()->m_sName);
                return Outcome{ok && list.size() == 1, value};
            }};
    }

    // The configuration file with the value in the product name or in a
    // repository's location.
    static Reader configuration(const char* name, bool location) {
        return {name, location, false,
                [location](const std::string& v) {
                    return location
                               ? "<updater><repository id=\"r\"><location href=\"" + v +
                                     "\"/></repository></updater>"
                               : "<updater><product><name>" + v + "</name></product></updater>";
                },
                [location](const std::string& path) {
                    Config c;
                    const bool ok = c.load(path, true);
                    const Repository* r = c.findRepository("r");
                    if (!location) {
                        return Outcome{ok, c.m_sProduct};
                    }
                    return Outcome{ok && r != nullptr, r != nullptr ? r->m_sLocation : ""};
                }};
    }

    std::vector<Reader> readers() {
        std::vector<Reader> all = {configuration("configuration", false),
                                   configuration("repository location", true),
                                   packageList("package list", false, false),
                                   packageList("package list (gzip)", true, false),
                                   packageList("package version", false, true)};
        all.push_back({"proxy", true, false,
                       [](const std::string& v) {
                           return "<proxyconf><proxy server=\"" + v +
                                  "\" port=\"3128\"/></proxyconf>";
                       },
                       [](const std::string& path) {
                           NetworkSettings network;
                           loadProxyFile(path, network);
                           return Outcome{!network.m_sProxyServer.empty(), network.m_sProxyServer};
                       }});
        all.push_back({"credentials", true, false,
                       [](const std::string& v) {
                           return "<credits xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
                                  "<creditentials xlink:href=\"http://h.test/\" username=\"" +
                                  v + "\" password=\"pw\"/></credits>";
                       },
                       [](const std::string& path) {
                           ne_uri uri{};
                           uri.scheme = const_cast<char*>("http");
                           uri.host = const_cast<char*>("h.test");
                           uri.port = 80;
                           CredentialStore store(uri);
                           const bool ok = store.loadFile(path);
                           const Credential* c = store.nextMatch("", "/repo/");
                           return Outcome{ok && c != nullptr, c != nullptr ? c->m_sUser : ""};
                       }});
        all.push_back({"repository index", true, false,
                       [](const std::string& v) {
                           return "<?xml version=\"1.0\"?>\n"
                                  "<repomd xmlns=\"http://linux.duke.edu/metadata/repo\">"
                                  "<data type=\"primary\"><location href=\"" +
                                  v + "\"/></data></repomd>";
                       },
                       [this](const std::string& path) {
                           Config config;
                           config.m_sCacheDir = scratch.file("cache/");
                           config.m_bNoMdSigCheck = true;
                           Repository record;
                           record.m_sId = "r";
                           PackageRepo repo(config, record);
                           makeDirs(repo.cacheDir());
                           writeHostFile(repo.cacheDir() + "repomd.xml", readHostFile(path));
                           RepoMdIndex index;
                           const bool ok = repo.parseIndex(index);
                           return Outcome{ok && index.size() == 1,
                                          index.empty() ? "" : index.begin()->m_sLocation,
                                          repo.cacheDir() + "repomd.xml"};
                       }});
        return all;
    }

    // The document with a DOCTYPE (given without its root name) before the root.
    static std::string withDoctype(std::string xml, const std::string& doctype) {
        if (doctype.empty()) {
            return xml;
        }
        const size_t declaration = xml.find("?>");
        const size_t at = declaration == std::string::npos ? 0 : declaration + 2;
        const size_t rootStart = xml.find('<', at) + 1;
        const std::string root =
            xml.substr(rootStart, xml.find_first_of(" >", rootStart) - rootStart);
        return xml.insert(at, "<!DOCTYPE " + root + " " + doctype + ">");
    }

    ScratchDir scratch{"xmlguard"};
};

TEST_F(XmlGuard, EntitiesAndOverlongValuesRefuseEveryDocument) {
    const std::string secret = scratch.file("secret.txt");
    writeHostFile(secret, "TOP-SECRET-CONTENT");
    const std::string dtd = scratch.file("evil.dtd");
    writeHostFile(dtd, "<!ENTITY leak \"TOP-SECRET-DTD\">\n");
    std::string bigReferences;
    for (int i = 0; i < 20000; ++i) {
        bigReferences += "&big;";
    }
    std::string laughs = "[<!ENTITY l0 \"lol\">";
    for (int i = 1; i <= 30; ++i) {
        const std::string prev = "&l" + std::to_string(i - 1) + ";";
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + prev + prev + "\">";
    }
    laughs += "]";
    const std::string atLimit(kMaxXmlValueLength, 'n');
    const std::string entities = "entity declarations and references are not allowed";
    const std::string tooLong = "a value is longer than 65536 bytes";
    const struct {
        const char* name;
        std::string doctype;  // without the root name
        std::string value;
        // Empty: read. "*": refused, where libxml2 may give up first with a
        // report of its own (an undefined entity, a loop). "~": the DTD is
        // not read, and a reference to what it declares is refused or dropped.
        std::string refusal;
        std::string expected;
        bool textOnly;
    } cases[] = {
        {"declared and used", "[<!ENTITY p \"player\">]", "&p;", entities, "", false},
        {"declared, unused", "[<!ENTITY p \"player\">]", "x", entities, "", false},
        {"parameter entity", "[<!ENTITY % p \"x\">]", "x", entities, "", false},
        {"external file entity", "[<!ENTITY s SYSTEM \"file://" + secret + "\">]", "&s;", "*", "",
         false},
        {"external DTD", "SYSTEM \"" + dtd + "\"", "&leak;", "~", "", false},
        {"undeclared", "", "a&undeclared;", "*", "", false},
        {"100 kB entity 20,000 times", "[<!ENTITY big \"" + std::string(100000, 'x') + "\">]",
         bigReferences, entities, "", false},
        {"nested", laughs, "&l30;", "*", "", false},
        {"over the limit", "", atLimit + "n", tooLong, "", false},
        {"over the limit with CDATA", "", atLimit.substr(1) + "<![CDATA[nn]]>", tooLong, "", true},
        {"at the limit", "", atLimit, "", atLimit, false},
        {"plain DOCTYPE", "", "player", "", "player", false},
        {"element declaration", "[<!ELEMENT x ANY>]", "player", "", "player", false},
        {"predefined and character references", "", "p&amp;&lt;&quot;&#65;&#x42;", "", "p&<\"AB",
         false},
    };
    for (const Reader& reader : readers()) {
        for (const auto& c : cases) {
            if (c.textOnly && reader.attribute) {
                continue;
            }
            SCOPED_TRACE(std::string(reader.name) + ": " + c.name);
            const std::string path = scratch.file("doc.xml");
            const std::string xml = withDoctype(reader.document(c.value), c.doctype);
            writeHostFile(path, reader.gzip ? gzipText(xml) : xml);
            LogCapture log;
            Outcome outcome = reader.read(path);
            if (outcome.file.empty()) {
                outcome.file = path;
            }
            EXPECT_FALSE(log.contains("TOP-SECRET"));
            if (c.refusal == "~") {
                EXPECT_TRUE(!outcome.ok || outcome.value.empty()) << outcome.value;
                continue;
            }
            EXPECT_EQ(outcome.ok, c.refusal.empty()) << outcome.value.substr(0, 100);
            if (c.refusal.empty()) {
                EXPECT_EQ(outcome.value, c.expected);
                EXPECT_FALSE(log.contains("refusing XML file")) << log.text();
            } else {
                EXPECT_EQ(outcome.value.find("TOP-SECRET"), std::string::npos);
                EXPECT_LT(log.text().size(), 8192u);
                if (c.refusal == "*") {
                    EXPECT_LE(log.countContaining("ERROR: refusing XML file '"), 1) << log.text();
                } else {
                    EXPECT_EQ(
                        log.count("ERROR: refusing XML file '" + outcome.file + "': " + c.refusal),
                        1)
                        << log.text();
                }
            }
        }
    }
}

}  // namespace
