// The package list reader on lists made by createrepo_c and modifyrepo_c, on
// hand-written lists that probe the layout rules, and on broken and hostile
// input; every list that fails must leave the target as it was.
//
// It also keeps the reader's results equal to those of the tree-based reader
// it replaced (each package element expanded by libxml2's text reader;
// tests/repo/reference_package_list.cpp in commit cb0c348): for the seed
// corpora (fuzz/corpus, tests/repo/data; a compressed seed must read as the
// file it was made from) and a table of element texts, one
// canonical text per input and type (result, every log line, every field of
// every package in list order) must equal its section of
// package_list_reference.txt, so that a difference shows as a line diff. A
// deliberate change of the results needs the file written anew, after
// checking the difference, from the project directory with
//   UPDATER_LIST_REFERENCE=tests/repo/package_list_reference.txt
//   build/tests/repo/repo_package_list_test --gtest_filter='*Equivalence*'
// (one command line).
//
// Every list these tests read successfully is also read through its image
// (repo/package_list_image.h): the packages and the messages from Debug up
// must be those of the parse.
#include "repo/package_list.h"

#include <gtest/gtest.h>
#include <rpm/rpmlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "harness/command.h"
#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"
#include "repo/package_list_image.h"

namespace {

// Every field of a package as one line of text: the form the tests compare,
// and the one the reference texts are made of (changing it means writing
// them again).
std::string packageFieldText(const Package& p) {
    std::string text = p.m_sName + "|" + p.m_sGroup + "|" +
                       std::to_string(static_cast<uint32_t>(p.m_nType)) + "|" +
                       std::to_string(p.m_evr.m_nEpoch) + "|" + p.m_evr.m_sVersion + "|" +
                       p.m_evr.m_sRelease + "|" + p.m_sLocation + "|" + p.m_sCacheFile + "|" +
                       p.m_checksum.m_sType + "|" + p.m_checksum.m_sValue + "|" +
                       std::to_string(p.m_nInstalledSize) + "|";
    const std::pair<const char*, const DependencySet*> sets[] = {
        {" requires", &p.m_setRequires},
        {" recommends", &p.m_setRecommends},
        {" provides", &p.m_setProvides},
        {" obsoletes", &p.m_setObsoletes}};
    for (const auto& [label, set] : sets) {
        text += label;
        for (const Dependency& d : *set) {
            text += " [" + d.m_sName + "|" + std::to_string(d.m_evr.m_nEpoch) + "|" +
                    d.m_evr.m_sVersion + "|" + d.m_evr.m_sRelease + "|" +
                    std::to_string(d.m_nFlags) + "]";
        }
    }
    return text;
}

std::vector<std::string> fieldTexts(const PackageList& list) {
    std::vector<std::string> texts;
    for (const Package& p : list) {
        texts.push_back(packageFieldText(list.complete(p)));
    }
    return texts;
}

// A package element of the primary list; body goes inside it.
std::string rpmPackage(const std::string& name, const std::string& body,
                       const std::string& arch = "noarch", const std::string& ver = "1.0") {
    return "<package type=\"rpm\"><name>" + name + "</name><arch>" + arch +
           "</arch><version epoch=\"0\" ver=\"" + ver +
           "\" rel=\"1\"/><checksum type=\"sha256\">abc</checksum><location href=\"p/" + name +
           "-" + ver + ".rpm\"/>" + body + "</package>\n";
}

class PackageListTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }

    std::string write(const std::string& name, const std::string& content, bool gzip = false) {
        std::string path = scratch.file(name);
        writeHostFile(path, gzip ? gzipText(content) : content);
        return path;
    }
    // Reads the list; a list that fails must leave the target as it was.
    bool parse(const std::string& path, MetadataType type, PackageList& list,
               const std::string& cacheDir = "/cache/packages/") {
        const std::vector<std::string> before = fieldTexts(list);
        const bool ok = parsePackageList(path, type, list, cacheDir);
        if (!ok) {
            EXPECT_EQ(fieldTexts(list), before) << path;
        } else {
            expectImageEqualsParse(path, type, cacheDir);
        }
        return ok;
    }
    // The first load parses and writes the image, the second reads the image
    // (left in place): both give the same packages and messages.
    void expectImageEqualsParse(const std::string& path, MetadataType type,
                                const std::string& cacheDir) {
        const LogLevel level = theLogger().level();
        theLogger().setLevel(LogLevel::Debug);
        const std::string image = scratch.file("list.image");
        unlink(image.c_str());
        const ListImageKey key{type, "checksum sha256 0", cacheDir};
        std::string texts[2];
        ino_t written = 0;
        for (std::string& text : texts) {
            const size_t logged = log.text().size();
            PackageList list;
            text = loadPackageList(path, image, key, list) ? "ok\n" : "failed\n";
            text += log.text().substr(logged);
            for (const std::string& fields : fieldTexts(list)) {
                text += fields + "\n";
            }
            struct stat st;
            ASSERT_EQ(lstat(image.c_str(), &st), 0) << path;
            EXPECT_TRUE(written == 0 || written == st.st_ino) << path;
            written = st.st_ino;
        }
        theLogger().setLevel(level);
        EXPECT_EQ(texts[0], texts[1]) << path;
    }
    bool parsePrimary(const std::string& packages, PackageList& list) {
        return parse(write("primary.xml", primaryListXml(packages)), MetadataType::PRIMARY, list);
    }

    LogCapture log;
    ScratchDir scratch{"pkglist"};
};

TEST_F(PackageListTest, LayoutRulesOfHandwrittenLists) {
    const std::string packages =
        // Kinds the program does not know, and architectures it cannot install.
        "<package type=\"src\"><name>source</name></package>\n"
        "<package><name>untyped</name></package>\n" +
        rpmPackage("arm", "", "armv7hl") +
        "<package type=\"rpm\"><name>noarch-missing</name><version epoch=\"0\" ver=\"1\"/>"
        "<checksum type=\"sha\">0</checksum><location href=\"x/noarch-missing.rpm\"/></package>\n" +
        // Entries the model never holds, and unversioned ones whatever their flags say.
        rpmPackage("deps",
                   "<size package=\"12k\" installed=\"0\"/><format><rpm:requires>"
                   "<rpm:entry name=\"rpmlib(PayloadIsXz)\" flags=\"LE\" epoch=\"0\" ver=\"5.2\"/>"
                   "<rpm:entry name=\"optional\" missingok=\"1\"/>"
                   "<rpm:entry name=\"kept\" missingok=\"0\"/>"
                   "<rpm:entry name=\"libc.so.6\" flags=\"GE\" epoch=\"7\"/>"
                   "<rpm:entry name=\"ranged\" flags=\"LT\" epoch=\"1\" ver=\"2\" rel=\"3\"/>"
                   "<entry name=\"common-ns-entry\"/>"
                   "<rpm:other name=\"not-an-entry\"/>"
                   "</rpm:requires>"
                   "<rpm:provides><rpm:entry name=\"p\" flags=\"EQ\" epoch=\"0\" ver=\"1\"/>"
                   "<rpm:entry name=\"p\" flags=\"EQ\" epoch=\"0\" ver=\"1\"/></rpm:provides>"
                   "<rpm:unknown/><requires><rpm:entry name=\"common-ns-list\"/></requires>"
                   "</format>") +
        // Two versions of one name stay in file order; packages may sit deeper.
        rpmPackage("twice", "", "noarch", "2.0") + "<wrapper>" +
        rpmPackage("twice", "", "x86_64", "1.0") + "</wrapper>" +
        // Children in other namespaces and unknown children are passed over.
        "<package type=\"rpm\" xmlns:x=\"urn:other\"><x:name>ignored</x:name><name>ns</name>"
        "<arch>noarch</arch><x:arch>armv7hl</x:arch><version epoch=\"3\" ver=\"1\"/>"
        "<checksum type=\"sha\">0</checksum><location href=\"../../../etc/ns.rpm/\"/><x:size/>"
        "<unknown/><size package=\"1\" installed=\"-5\" archive=\"2\"/>"
        "<format><rpm:requires><rpm:entry name=\"r\"/></rpm:requires></format></package>\n";
    PackageList list;
    ASSERT_TRUE(parsePrimary(packages, list)) << log.text();
    auto plain = [](const std::string& name, const std::string& ver) {
        return name + "||1|0|" + ver + "|1|p/" + name + "-" + ver + ".rpm|/cache/packages/" + name +
               "-" + ver + ".rpm|sha256|abc|0| requires recommends provides obsoletes";
    };
    EXPECT_EQ(fieldTexts(list),
              (std::vector<std::string>{
                  "deps||1|0|1.0|1|p/deps-1.0.rpm|/cache/packages/deps-1.0.rpm|sha256|abc|0| "
                  "requires [kept|0|||0] [libc.so.6|0|||0] [ranged|1|2|3|2] recommends provides "
                  "[p|0|1||8] obsoletes",
                  "ns||1|3|1||../../../etc/ns.rpm/|/cache/packages/ns.rpm|sha|0|-5| requires "
                  "[r|0|||0] recommends provides obsoletes",
                  plain("twice", "2.0"), plain("twice", "1.0")}));
    // The file's size bounds its download; a size that is no number is none.
    EXPECT_EQ(list.find("ns")->m_nPackageSize, 1);
    EXPECT_EQ(list.find("deps")->m_nPackageSize, 0);
    EXPECT_TRUE(log.has("DEBUG: ignoring 'package' property '12k'"));
    EXPECT_TRUE(log.has("WARNING: ignoring package 'source' of unknown type 'src'"));
    EXPECT_TRUE(log.has("WARNING: ignoring package 'untyped' of unknown type ''"));
    EXPECT_TRUE(
        log.has("WARNING: skipping rpm package 'arm-1.0.rpm' of non-compatible arch 'armv7hl'"));
    EXPECT_TRUE(
        log.has("WARNING: skipping rpm package 'noarch-missing.rpm' of non-compatible arch ''"));

    // Without a cache directory no cache path is made.
    PackageList noCache;
    ASSERT_TRUE(
        parse(write("p.xml", primaryListXml(packages)), MetadataType::PRIMARY, noCache, ""));
    EXPECT_TRUE(noCache.find("deps")->m_sCacheFile.empty());

    // Without a declaration of the rpm namespace a package has no RPM data.
    PackageList bare;
    std::string noRpmNs =
        "<?xml version=\"1.0\"?>\n<metadata xmlns=\"http://linux.duke.edu/metadata/common\">" +
        rpmPackage("bare",
                   "<format><group>G</group><requires><entry name=\"x\"/></requires>"
                   "</format>") +
        "</metadata>";
    ASSERT_TRUE(parse(write("bare.xml", noRpmNs), MetadataType::PRIMARY, bare));
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_TRUE(bare.begin()->m_sGroup.empty());
    EXPECT_TRUE(bare.begin()->m_setRequires.empty());
    EXPECT_TRUE(log.has("DEBUG: no rpm specific data in XML doc"));

    // The device list: its own top element, its own namespace for the specific data.
    DevicePackage foreign("foreign-fw", "1.0-1", "flashedfw");
    foreign.arch("armv7hl").noFile();
    std::string deviceList = deviceListXml({foreign, DevicePackage("app", "1-1")});
    PackageList devices;
    ASSERT_TRUE(parse(write("vtxdata.xml.gz", deviceList, true), MetadataType::VTXDATA, devices));
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(packageToString(*devices.begin()), "app-1-1");
    EXPECT_TRUE(log.has(
        "WARNING: skipping flashedfw package 'foreign-fw-1.0-1' of non-compatible arch 'armv7hl'"));
}

TEST_F(PackageListTest, MalformedPackagesFailTheWholeList) {
    // A well-formed package; each case replaces one part of it ("": all of it).
    const std::string N = "<name>a</name>", V = "<version epoch=\"0\" ver=\"1\"/>",
                      C = "<checksum type=\"sha\">0</checksum>", L = "<location href=\"p/a.rpm\"/>",
                      E = "</package>";
    const std::string package =
        "<package type=\"rpm\">" + N + "<arch>noarch</arch>" + V + C + L + E;
    auto format = [&](const std::string& text) { return "<format>" + text + "</format>" + E; };
    // The one error line names the package (when it has a name), the line
    // of the broken package ("@") and what is wrong.
    const struct {
        std::string part;
        std::string replacement;
        std::string message;
    } cases[] = {
        {"", "<package type=\"rpm\"> </package>", "package@no child elements"},
        {"", "<package type=\"vtxpkg\">" + N + "<arch>noarch</arch>" + V + C + E,
         "package 'a'@no 'location'"},
        {E, "<name>b</name>" + E, "package 'a'@more than one 'name'"},
        {E, "<size installed=\"1\"/><size installed=\"1\"/>" + E,
         "package 'a'@more than one 'size'"},
        {N, "<name/>", "package@empty 'name'"},
        {N, "", "package@no 'name'"},
        {V, "", "package 'a'@no 'version'"},
        {C, "", "package 'a'@no 'checksum'"},
        {V, "<version ver=\"1\"/>", "package 'a'@'version': no 'epoch' or no 'ver'"},
        {V, "<version epoch=\"4294967296\" ver=\"1\"/>",
         "package 'a'@'version': invalid epoch '4294967296'"},
        {V, "<version epoch=\"\" ver=\"1\"/>", "package 'a'@'version': invalid epoch ''"},
        {L, "<location/>", "package 'a'@'location' without 'href'"},
        // As `createrepo_c --baseurl` writes it: refused, never fetched from the wrong place.
        {L, "<location xml:base=\"http://mirror.example/\" href=\"p/a.rpm\"/>",
         "package 'a'@location with xml:base 'http://mirror.example/', which is not supported"},
        {C, "<checksum>0</checksum>", "package 'a'@'checksum' without 'type'"},
        {C, "<checksum type=\"sha\"/>", "package 'a'@empty 'checksum'"},
        {E, "<size package=\"1\"/>" + E, "package 'a'@'size' without 'installed'"},
        {E, "<size installed=\"12k\"/>" + E, "package 'a'@invalid installed size '12k'"},
        {E, "<size installed=\"99999999999999999999\"/>" + E,
         "package 'a'@invalid installed size '99999999999999999999'"},
        {E, format("<rpm:group>A</rpm:group></format><format><rpm:group>B</rpm:group>"),
         "package 'a'@more than one 'group'"},
        {E, format("<rpm:group/>"), "package 'a'@empty 'group'"},
        {E, format("<rpm:requires><rpm:entry/></rpm:requires>"),
         "package 'a'@requires entry without 'name'"},
        {E, format("<rpm:requires><rpm:entry name=\"x\" missingok=\"yes\"/></rpm:requires>"),
         "package 'a'@requires entry 'x': invalid 'missingok' 'yes'"},
        {E, format("<rpm:requires><rpm:entry name=\"x\" missingok=\"4294967296\"/></rpm:requires>"),
         "package 'a'@requires entry 'x': invalid 'missingok' '4294967296'"},
        {E, format("<rpm:obsoletes><rpm:entry name=\"x\" epoch=\"0\" ver=\"1\"/></rpm:obsoletes>"),
         "package 'a'@obsoletes entry 'x': no 'flags'"},
        {E,
         format("<rpm:recommends><rpm:entry name=\"x\" flags=\"ge\" epoch=\"0\" ver=\"1\"/>"
                "</rpm:recommends>"),
         "package 'a'@recommends entry 'x': invalid flags 'ge'"},
        {E, format("<rpm:requires><rpm:entry name=\"x\" flags=\"EQ\" ver=\"1\"/></rpm:requires>"),
         "package 'a'@requires entry 'x': no 'epoch' or no 'ver'"},
        // Locations whose last component cannot name a cache file.
        {L, "<location href=\"a/..\"/>", "package 'a'@invalid location 'a/..'"},
        {L, "<location href=\"\"/>", "package 'a'@invalid location ''"},
    };
    const std::string good = rpmPackage("good", "");
    const std::string path = scratch.file("primary.xml");
    PackageList list;
    for (const auto& c : cases) {
        const std::string broken =
            c.part.empty()
                ? c.replacement
                : std::string(package).replace(package.find(c.part), c.part.size(), c.replacement);
        std::string message = "ERROR: invalid " + c.message;
        message.replace(message.find('@'), 1, " in '" + path + "' line 4: ");
        log.clear();
        EXPECT_FALSE(parsePrimary(good + broken + good, list)) << broken;
        std::vector<std::string> errors;
        for (const std::string& line : log.lines()) {
            if (line.rfind("ERROR: ", 0) == 0) {
                errors.push_back(line);
            }
        }
        EXPECT_EQ(errors, std::vector<std::string>{message}) << broken;
    }
    // The parts of the cases make a valid package on their own.
    EXPECT_TRUE(parsePrimary(
        package + package.substr(0, package.size() - E.size()) + format("<rpm:group>A</rpm:group>"),
        list));
}

TEST_F(PackageListTest, WrongFilesAndTopElements) {
    const std::string primary = primaryListXml(rpmPackage("a", ""));
    const std::string devices = deviceListXml({DevicePackage("app")});
    PackageList list;

    EXPECT_FALSE(parse(write("p.xml", primary), MetadataType::VTXDATA, list));
    EXPECT_TRUE(log.has("ERROR: bad top-level element, 'metadata' instead of 'vtxdata'"));
    EXPECT_FALSE(parse(write("v.xml", devices), MetadataType::PRIMARY, list));
    EXPECT_TRUE(log.has("ERROR: bad top-level element, 'vtxdata' instead of 'metadata'"));
    std::string otherNs = primary;
    otherNs.replace(otherNs.find("metadata/common"), 15, "metadata/other");
    EXPECT_FALSE(parse(write("ns.xml", otherNs), MetadataType::PRIMARY, list));
    EXPECT_TRUE(log.has("ERROR: bad top-level element, 'metadata' instead of 'metadata'"));
    EXPECT_FALSE(parse(write("ok.xml", primary), static_cast<MetadataType>(7), list));
    EXPECT_TRUE(log.has("ERROR: invalid metadata type"));
    EXPECT_FALSE(parse(scratch.file("missing.xml.gz"), MetadataType::PRIMARY, list));
    EXPECT_TRUE(log.has("ERROR: could not open primary file '" + scratch.file("missing.xml.gz") +
                        "' for parsing"));
    EXPECT_TRUE(list.empty());

    // Truncated, empty and binary files fail without a crash, and so do
    // damaged streams of every compression. The thread that decompresses
    // hands on what the decoder reports, also for lists larger than the
    // blocks it passes to the parser. Trailing blanks larger than a block:
    // damage found with the last read loses only them, so only the decoder's
    // error tells.
    std::string packages;
    for (int i = 0; i < 2000; ++i) {
        packages += rpmPackage("p" + std::to_string(i), "");
    }
    const std::string xml = primaryListXml(packages) + std::string(200000, ' ');
    struct Broken {
        std::string name;
        std::string content;
        bool readError;  // found by the decoder after the end of the document
    };
    std::vector<Broken> broken = {
        {"cut.xml", primary.substr(0, primary.size() - 20), false},
        {"empty.xml", "", false},
        {"binary.xml", std::string("\x1f\x8b\x08\x00\xff\xfe\x00\x01", 8), false},
        {"text.xml", "not xml at all", false},
    };
    // Each compression with the distance from the end of a byte of its last
    // check value (gzip's CRC, zstd's frame checksum, the CRC of xz's stream
    // footer, bzip2's stream CRC), and its concatenated streams, read whole.
    const std::pair<std::string, size_t> compressions[] = {
        {"gz", 6}, {"zstd", 2}, {"xz", 10}, {"bz2", 3}};
    std::vector<std::string> concatenated;
    for (const auto& [compression, checkAt] : compressions) {
        const std::string packed = compressText(xml, compression);
        std::string badCheck = packed;
        badCheck[packed.size() - checkAt] ^= 1;
        // zlib reads on into a further gzip member (bytes that start none
        // are ignored), the others allow nothing after their last stream.
        const std::string trailing = compression == "gz" ? "\x1f\x8bjunk" : "junk";
        broken.push_back({compression + "-cut", packed.substr(0, packed.size() - 4), true});
        broken.push_back({compression + "-half", packed.substr(0, packed.size() / 2), false});
        broken.push_back({compression + "-check", badCheck, true});
        broken.push_back({compression + "-trailing", packed + trailing, true});
        concatenated.push_back(compressText(xml.substr(0, xml.size() / 2), compression) +
                               compressText(xml.substr(xml.size() / 2), compression));
    }
    // Compressed with more history than the decoders allow (zstd windows
    // of 32 MiB, 40 MiB of xz decoder): refused at the start.
    const std::string plain = write("plain.xml", xml);
    for (const auto& [name, command] : {std::make_pair("zstd-long", "zstd --long=27 -q -c"),
                                        std::make_pair("xz-9", "xz -9 -c")}) {
        CommandResult r = runShell(std::string(command) + " < '" + plain + "'");
        ASSERT_EQ(r.status, 0) << r.output;
        broken.push_back({name, r.output, false});
    }
    for (const Broken& b : broken) {
        log.clear();
        const std::string path = write(b.name, b.content);
        EXPECT_FALSE(parse(path, MetadataType::PRIMARY, list)) << b.name;
        EXPECT_TRUE(list.empty()) << b.name;
        EXPECT_EQ(log.has("ERROR: failed while reading from '" + path + "'"), b.readError)
            << b.name;
        // Otherwise the parser's own complaint names the file and the line, once.
        EXPECT_EQ(log.countContaining("ERROR: cannot parse XML file '" + path + "' line "),
                  b.readError ? 0 : 1)
            << b.name << "\n"
            << log.text();
    }
    for (const std::string& content : concatenated) {
        PackageList whole;
        EXPECT_TRUE(parse(write("whole", content), MetadataType::PRIMARY, whole)) << log.text();
        EXPECT_EQ(whole.size(), 2000u);
    }
}

// Deep nesting fails the list with bounded memory and log (entities and
// over-long values: the hostile-document table of the XML guard).
TEST_F(PackageListTest, DeepNestingFailsTheList) {
    std::string deep = primaryListXml("");
    std::string nest;
    for (int i = 0; i < 50000; ++i) {
        nest += "<d>";
    }
    deep.insert(deep.find("</metadata>"), nest);
    PackageList list;
    EXPECT_FALSE(parse(write("deep.xml.gz", deep, true), MetadataType::PRIMARY, list));
    EXPECT_TRUE(list.empty());
    EXPECT_LT(log.text().size(), 16384u);
}

// Texts of names, arches and groups with blanks, comments, CDATA sections,
// processing instructions, nested elements, xml:space and character
// references (a blank from a reference is text, never ignorable whitespace).
std::map<std::string, std::string> elementTextLists() {
    const std::vector<std::string> texts[] = {
        {"<name> </name>", "<name>\n  <x>a</x>\n</name>", "<name> a <x> b </x> </name>",
         "<name>a<!-- c -->b</name>", "<name><!-- c --></name>", "<name><?pi x?>a</name>",
         "<name><![CDATA[ ]]></name>", "<name>  <![CDATA[a]]>  </name>",
         "<name xml:space=\"preserve\">\n  <x>a</x>\n</name>", "<name>\r\n<x>a</x>\r\n</name>",
         "<name>a&amp;&#x41;&lt;</name>", "<name><x>a</x>&#32;<y/></name>"},
        {"<arch/>", "<arch> </arch>", "<arch><!-- c --></arch>", "<arch>\n<x/>\n</arch>",
         "<arch> noarch </arch>", "<arch><x>noarch</x></arch>",
         "<arch><x>noarch</x>&#10;<!-- c --></arch>"},
        {"<rpm:group> </rpm:group>", "<rpm:group>\n<x>G</x>\n</rpm:group>",
         "<rpm:group><!-- c --></rpm:group>", "<rpm:group>a<![CDATA[<b>]]>c</rpm:group>",
         "<rpm:group><!-- c -->&#32;</rpm:group>"}};
    const char* const kinds[] = {"name", "arch", "group"};
    std::map<std::string, std::string> lists;
    for (size_t k = 0; k < 3; ++k) {
        for (size_t i = 0; i < texts[k].size(); ++i) {
            std::string parts[] = {"<name>a</name>", "<arch>noarch</arch>", ""};
            parts[k] = texts[k][i];
            lists["texts/" + std::string(kinds[k]) + "-" + std::to_string(i + 1)] =
                primaryListXml("<package type=\"rpm\">" + parts[0] + parts[1] +
                               "<version epoch=\"0\" ver=\"1\"/><checksum type=\"sha\">0"
                               "</checksum><location href=\"p/a.rpm\"/><format>" +
                               parts[2] + "</format></package>");
        }
    }
    return lists;
}

// The reference texts by input and type, from the sections of the file
// ("== LABEL TYPE" and the text's lines).
std::map<std::string, std::string> referenceTexts(const std::string& file) {
    std::map<std::string, std::string> texts;
    std::string* text = nullptr;
    for (const std::string& line : splitLines(file)) {
        if (line.compare(0, 3, "== ") == 0) {
            text = &texts[line.substr(3)];
        } else if (text != nullptr) {
            *text += line + "\n";
        }
    }
    return texts;
}

TEST_F(PackageListTest, EquivalenceSameResultsAsTheTreeReader) {
    std::map<std::string, std::string> inputs;  // label -> file
    for (const char* dir :
         {"tests/repo/data", "fuzz/corpus/package_list", "fuzz/corpus/repo_index"}) {
        const std::string path = std::string(PROJECT_DIR) + "/" + dir;
        for (const std::string& name : splitLines(runShell("ls '" + path + "'").output)) {
            inputs[dir + ("/" + name)] = path + "/" + name;
        }
    }
    for (const auto& [label, xml] : elementTextLists()) {
        inputs[label] = write(label.substr(6) + ".xml", xml);
    }
    std::vector<std::pair<std::string, std::string>> texts;  // key -> canonical text
    for (const auto& [label, path] : inputs) {
        for (MetadataType type : {MetadataType::PRIMARY, MetadataType::VTXDATA}) {
            // libxml2's own reports are left out: they depend on how the
            // document is parsed, not on what the reader makes of it.
            log.clear();
            PackageList list;
            const bool ok = parsePackageList(path, type, list, "/cache/packages/");
            std::string text = ok ? "ok\n" : "failed\n";
            for (const std::string& line : log.lines()) {
                const bool parser = line.rfind("DEBUG: xml: ", 0) == 0 ||
                                    line.rfind("ERROR: cannot parse XML file '", 0) == 0 ||
                                    line.rfind("WARNING: problem in XML file '", 0) == 0;
                text += parser ? "" : "log " + line + "\n";
            }
            for (const std::string& fields : fieldTexts(list)) {
                text += "package " + fields + "\n";
            }
            for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at)) {
                text.replace(at, path.size(), "FILE");
            }
            texts.emplace_back(label + " " + metadataTypeName(type), text);
            if (ok) {
                expectImageEqualsParse(path, type, "/cache/packages/");
            }
        }
    }
    // A compressed seed reads as the file it was made from.
    const std::map<std::string, std::string> byKey(texts.begin(), texts.end());
    size_t compressed = 0;
    for (const auto& [key, text] : texts) {
        for (const char* extension : {".gz", ".zst", ".xz", ".bz2"}) {
            const size_t at = key.find(std::string(extension) + " ");
            if (at != std::string::npos) {
                ++compressed;
                EXPECT_EQ(text, byKey.at(key.substr(0, at) + key.substr(at + strlen(extension))))
                    << key;
            }
        }
    }
    EXPECT_EQ(compressed, 8u);
    if (const char* out = getenv("UPDATER_LIST_REFERENCE")) {
        std::string written;
        for (const auto& [key, text] : texts) {
            written += "== " + key + "\n" + text;
        }
        writeHostFile(out, written);
        GTEST_SKIP() << "reference texts written to " << out;
    }
    const std::map<std::string, std::string> reference = referenceTexts(
        readHostFile(std::string(PROJECT_DIR) + "/tests/repo/package_list_reference.txt"));
    for (const auto& [key, text] : texts) {
        const auto expected = reference.find(key);
        EXPECT_EQ(expected != reference.end() ? expected->second : "(no reference)\n", text) << key;
    }
    EXPECT_EQ(reference.size(), texts.size());
    EXPECT_GE(inputs.size(), 25u);
}

}  // namespace
