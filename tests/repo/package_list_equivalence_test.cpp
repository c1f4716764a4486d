// What the package list reader yields for the seed corpora (fuzz/corpus and
// tests/repo/data) and for a table of element texts that probe the layout
// rules: result, every field of every package in list order and every log
// line, as one canonical text per input and type, of which the SHA-256 digest
// must equal the recorded one in package_list_digests.txt.
//
// The recorded digests were written by the tree-based reader that the
// streaming one replaced (each package element expanded by libxml2's text
// reader; tests/repo/reference_package_list.cpp in commit cb0c348), so this
// test keeps the streaming reader's results equal to it.
// A deliberate change of the reader's results needs new digests; after
// checking the changed dumps (UPDATER_LIST_DUMPS=DIR writes each canonical
// text to DIR), write them from the project directory with
//   UPDATER_LIST_DIGESTS=tests/repo/package_list_digests.txt
//   build/tests/repo/repo_package_list_test --gtest_filter='*Equivalence*'
// (one command line).
#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <rpm/rpmlib.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "harness/log_capture.h"
#include "harness/repo_builder.h"
#include "harness/sandbox.h"
#include "package_field_text.h"
#include "repo/checksum.h"
#include "repo/package_list.h"

namespace {

// Texts of names, arches and groups with blanks, comments, CDATA sections,
// processing instructions, nested elements and xml:space.
std::vector<std::pair<std::string, std::string>> elementTextLists() {
    const std::string names[] = {
        "<name> </name>",
        "<name>\n  <x>a</x>\n</name>",
        "<name> a <x> b </x> </name>",
        "<name>a<!-- c -->b</name>",
        "<name><!-- c --></name>",
        "<name><?pi x?>a</name>",
        "<name><![CDATA[ ]]></name>",
        "<name>  <![CDATA[a]]>  </name>",
        "<name xml:space=\"preserve\">\n  <x>a</x>\n</name>",
        "<name>\r\n<x>a</x>\r\n</name>",
        "<name>a&amp;&#x41;&lt;</name>",
    };
    const std::string arches[] = {"<arch/>",
                                  "<arch> </arch>",
                                  "<arch><!-- c --></arch>",
                                  "<arch>\n<x/>\n</arch>",
                                  "<arch> noarch </arch>",
                                  "<arch><x>noarch</x></arch>"};
    const std::string groups[] = {"<rpm:group> </rpm:group>", "<rpm:group>\n<x>G</x>\n</rpm:group>",
                                  "<rpm:group><!-- c --></rpm:group>",
                                  "<rpm:group>a<![CDATA[<b>]]>c</rpm:group>"};
    auto package = [](const std::string& name, const std::string& arch, const std::string& group) {
        return "<package type=\"rpm\">" + name + arch +
               "<version epoch=\"0\" ver=\"1\"/><checksum type=\"sha\">0</checksum>"
               "<location href=\"p/a.rpm\"/><format>" +
               group + "</format></package>";
    };
    std::vector<std::pair<std::string, std::string>> lists;
    int n = 0;
    for (const std::string& name : names) {
        lists.emplace_back("name-" + std::to_string(++n),
                           primaryListXml(package(name, "<arch>noarch</arch>", "")));
    }
    n = 0;
    for (const std::string& arch : arches) {
        lists.emplace_back("arch-" + std::to_string(++n),
                           primaryListXml(package("<name>a</name>", arch, "")));
    }
    n = 0;
    for (const std::string& group : groups) {
        lists.emplace_back("group-" + std::to_string(++n),
                           primaryListXml(package("<name>a</name>", "<arch>noarch</arch>", group)));
    }
    return lists;
}

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr), 1);
    return toHex(digest, size);
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at)) {
        text.replace(at, from.size(), to);
        at += to.size();
    }
}

class PackageListEquivalence : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(rpmReadConfigFiles(nullptr, nullptr), 0); }

    // The canonical text of one read. libxml2's own reports (DEBUG: xml:)
    // are left out: they depend on how the document is parsed, not on what
    // the reader makes of it.
    std::string dump(const std::string& path, MetadataType type) {
        log.clear();
        PackageList list;
        const bool ok = parsePackageList(path, type, list, "/cache/packages/");
        std::string text = std::string(ok ? "ok" : "failed") + "\n";
        for (const std::string& line : log.lines()) {
            if (line.compare(0, 12, "DEBUG: xml: ") != 0) {
                text += "log " + line + "\n";
            }
        }
        for (const Package& p : list) {
            text += "package " + packageFieldText(p) + "\n";
        }
        replaceAll(text, path, "FILE");
        return text;
    }

    LogCapture log;
    ScratchDir scratch{"pkglist-eq"};
};

TEST_F(PackageListEquivalence, SameResultsAsTheTreeReader) {
    // label -> file
    std::map<std::string, std::string> inputs;
    for (const std::string& dir :
         {std::string("tests/repo/data"), std::string("fuzz/corpus/package_list"),
          std::string("fuzz/corpus/repo_index")}) {
        const std::string path = std::string(PROJECT_DIR) + "/" + dir;
        DIR* d = opendir(path.c_str());
        ASSERT_NE(d, nullptr) << path;
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                inputs[dir + "/" + e->d_name] = path + "/" + e->d_name;
            }
        }
        closedir(d);
    }
    for (const auto& [label, xml] : elementTextLists()) {
        inputs["texts/" + label] = scratch.file(label + ".xml");
        writeHostFile(inputs["texts/" + label], xml);
    }

    const char* dumps = getenv("UPDATER_LIST_DUMPS");
    std::string digests;
    for (const auto& [label, path] : inputs) {
        for (MetadataType type : {MetadataType::PRIMARY, MetadataType::VTXDATA}) {
            const std::string key = label + " " + metadataTypeName(type);
            const std::string text = dump(path, type);
            if (dumps != nullptr) {
                std::string name = key;
                std::replace(name.begin(), name.end(), '/', '_');
                std::replace(name.begin(), name.end(), ' ', '.');
                writeHostFile(std::string(dumps) + "/" + name, text);
            }
            digests += sha256Hex(text) + " " + key + "\n";
        }
    }

    if (const char* out = getenv("UPDATER_LIST_DIGESTS")) {
        writeHostFile(out, digests);
        GTEST_SKIP() << "digests written to " << out;
    }
    const std::string expected =
        readHostFile(std::string(PROJECT_DIR) + "/tests/repo/package_list_digests.txt");
    EXPECT_EQ(splitLines(digests), splitLines(expected));
    EXPECT_GE(inputs.size(), 25u);
}

// The decompressing thread hands on what zlib reports: a list cut short or
// with a wrong CRC fails and adds nothing, also when it is larger than the
// blocks between the thread and the parser.
TEST_F(PackageListEquivalence, DamagedGzipListsFail) {
    std::string packages;
    for (int i = 0; i < 2000; ++i) {
        packages += "<package type=\"rpm\"><name>p" + std::to_string(i) +
                    "</name><arch>noarch</arch><version epoch=\"0\" ver=\"1\"/>"
                    "<checksum type=\"sha\">0</checksum><location href=\"p.rpm\"/></package>\n";
    }
    const std::string gzip = gzipText(primaryListXml(packages));
    const std::string whole = scratch.file("whole.xml.gz");
    writeHostFile(whole, gzip);
    PackageList list;
    ASSERT_TRUE(parsePackageList(whole, MetadataType::PRIMARY, list, ""));
    ASSERT_EQ(list.size(), 2000u);

    std::string badCrc = gzip;
    badCrc[badCrc.size() - 6] ^= 1;
    // (zlib reads a list whose trailer alone is cut off to its end; the
    // checksum from the index is what guards that.)
    const std::string damaged[] = {gzip.substr(0, gzip.size() / 2), badCrc};
    for (const std::string& content : damaged) {
        const std::string path = scratch.file("damaged.xml.gz");
        writeHostFile(path, content);
        PackageList target;
        EXPECT_FALSE(parsePackageList(path, MetadataType::PRIMARY, target, "")) << content.size();
        EXPECT_EQ(target.size(), 0u);
    }
}

}  // namespace
