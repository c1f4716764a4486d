#include "harness/repo_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "harness/command.h"
#include "harness/sandbox.h"

namespace {

constexpr const char* kCommonNs = "http://linux.duke.edu/metadata/common";

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '&'   ? "&amp;"
               : c == '<' ? "&lt;"
               : c == '>' ? "&gt;"
               : c == '"' ? "&quot;"
                          : std::string(1, c);
    }
    return out;
}

// The <vtx:KIND> element of "name" or "name op evr" dependencies.
std::string entriesXml(const char* kind, const std::vector<std::string>& deps) {
    static const std::map<std::string, std::string> kFlags = {
        {"=", "EQ"}, {"==", "EQ"}, {">=", "GE"}, {"<=", "LE"}, {"<", "LT"}, {">", "GT"}};
    std::string xml;
    for (const std::string& dep : deps) {
        std::istringstream in(dep);
        std::string name, op, evr;
        in >> name >> op >> evr;
        xml += "        <vtx:entry name=\"" + escapeXml(name) + "\"";
        if (!op.empty()) {
            if (kFlags.count(op) == 0) {
                throw std::runtime_error("bad dependency operator in '" + dep + "'");
            }
            std::vector<std::string> split = splitEvr(evr);
            xml += " flags=\"" + kFlags.at(op) + "\" epoch=\"" +
                   (split[0].empty() ? "0" : split[0]) + "\" ver=\"" + escapeXml(split[1]) + "\"" +
                   (split[2].empty() ? "" : " rel=\"" + escapeXml(split[2]) + "\"");
        }
        xml += "/>\n";
    }
    return xml.empty()
               ? ""
               : std::string("      <vtx:") + kind + ">\n" + xml + "      </vtx:" + kind + ">\n";
}

std::string checked(const CommandResult& r, const std::string& what) {
    if (r.status != 0) {
        throw std::runtime_error(what + " failed (" + std::to_string(r.status) + "):\n" + r.output);
    }
    return r.output;
}

// The <data type="..."> entry of an index with its indentation and line end,
// and the lines of elements in it: "(...entry start)(<element...> line)".
std::regex entryOf(const std::string& type) {
    return std::regex(" *<data type=\"" + type + "\">(?:(?!</data>)[\\s\\S])*</data>\n?");
}
std::regex lineIn(const std::string& type, const std::string& element) {
    return std::regex("(<data type=\"" + type + "\">(?:(?!</data>)[\\s\\S])*?\n) *(<" + element +
                      "[ >][^\n]*\n)");
}

// The output of a command run on a temporary file holding the text.
std::string onTempFile(const std::string& text, const std::string& command) {
    char pattern[] = "/tmp/repo-builder.XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    writeHostFile(pattern, text);
    CommandResult r = runShell(command + " < '" + pattern + "'");
    unlink(pattern);
    return checked(r, command);
}

// The coreutils program of a checksum type.
std::string digestProgram(const std::string& type) {
    static const std::map<std::string, std::string> kPrograms = {
        {"sha", "sha1sum"},       {"sha1", "sha1sum"},     {"sha224", "sha224sum"},
        {"sha256", "sha256sum"}, {"sha384", "sha384sum"}, {"sha512", "sha512sum"}};
    if (kPrograms.count(type) == 0) {
        throw std::runtime_error("no program for checksum type '" + type + "'");
    }
    return kPrograms.at(type);
}

struct Compression {
    const char* command;
    const char* extension;
};

Compression compressionOf(const std::string& name) {
    static const std::map<std::string, Compression> kCompressions = {
        {"gz", {"gzip -n", ".gz"}},
        {"zstd", {"zstd -q -c", ".zst"}},
        {"xz", {"xz -c", ".xz"}},
        {"bz2", {"bzip2 -c", ".bz2"}}};
    if (kCompressions.count(name) == 0) {
        throw std::runtime_error("unknown compression '" + name + "'");
    }
    return kCompressions.at(name);
}

}  // namespace

std::string devicePackageXml(const DevicePackage& p, const std::string& checksumType) {
    std::ostringstream xml;
    xml << "<package type=\"" << escapeXml(p.m_sType) << "\">\n"
        << "  <name>" << escapeXml(p.m_sName) << "</name>\n"
        << "  <arch>" << escapeXml(p.m_sArch) << "</arch>\n"
        << "  <version epoch=\"" << p.m_nEpoch << "\" ver=\"" << escapeXml(p.m_sVersion)
        << "\" rel=\"" << escapeXml(p.m_sRelease) << "\"/>\n";
    if (p.m_bHasFile) {
        xml << "  <checksum type=\"" << checksumType << "\">"
            << digestOfText(checksumType, p.m_sContent) << "</checksum>\n"
            << "  <location href=\"" << escapeXml(p.location()) << "\"/>\n";
    }
    xml << "  <size package=\"" << p.m_sContent.size() << "\" installed=\"" << p.m_nInstalledSize
        << "\"/>\n  <format>\n"
        << (p.m_sGroup.empty() ? ""
                               : "      <vtx:group>" + escapeXml(p.m_sGroup) + "</vtx:group>\n")
        << entriesXml("provides", p.m_vProvides) << entriesXml("requires", p.m_vRequires)
        << entriesXml("recommends", p.m_vRecommends) << entriesXml("obsoletes", p.m_vObsoletes)
        << "  </format>\n</package>\n";
    return xml.str();
}

std::string deviceListXml(const std::vector<DevicePackage>& packages, const std::string& extra,
                          const std::string& checksumType) {
    std::string xml =
        std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vtx:vtxdata xmlns=\"") +
        kCommonNs + "\" xmlns:vtx=\"http://www.vantorix.com/metadata/vtxdata\" packages=\"" +
        std::to_string(packages.size()) + "\">\n";
    for (const DevicePackage& p : packages) {
        xml += devicePackageXml(p, checksumType);
    }
    return xml + extra + "</vtx:vtxdata>\n";
}

std::string primaryListXml(const std::string& packages) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<metadata xmlns=\"") +
           kCommonNs + "\" xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\">\n" + packages +
           "</metadata>\n";
}

std::string digestOfFile(const std::string& type, const std::string& path) {
    const std::string program = digestProgram(type);
    const std::string line = checked(runCommand({program, path}), program + " " + path);
    return line.substr(0, line.find(' '));
}

std::string digestOfText(const std::string& type, const std::string& text) {
    const std::string line = onTempFile(text, digestProgram(type));
    return line.substr(0, line.find(' '));
}

std::string incompressibleText(size_t size) {
    std::string text(size, '\0');
    uint32_t x = 1;
    for (char& c : text) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return text;
}

std::string compressText(const std::string& text, const std::string& compression) {
    return onTempFile(text, compressionOf(compression).command);
}

std::string compressionExtension(const std::string& compression) {
    return compressionOf(compression).extension;
}

RepoBuilder::RepoBuilder(std::string dir, Options options)
    : m_sDir(std::move(dir)), m_options(options), m_builder(m_sDir + ".work") {
    makeDirs(m_sDir + "/packages");
}

bool RepoBuilder::build() {
    try {
        if (!m_vPending.empty()) {
            std::vector<std::string> files = m_builder.build(m_vPending, m_sDir + "/packages");
            if (files.empty() ||
                !std::all_of(files.begin(), files.end(), [&](const std::string& file) {
                    return m_pPackageKey == nullptr || m_pPackageKey->signPackage(file);
                })) {
                return false;
            }
            m_vPending.clear();
        }
        const std::string work = m_sDir + ".work";
        const std::string repodata = m_sDir + "/repodata";
        const char* names = m_options.m_bSimpleNames ? "--simple-md-filenames" : "--compress";
        // zstd lists, and plain ones, are made from gzip lists.
        const bool zstd = m_options.m_bCompress && m_options.m_sCompression == "zstd";
        const std::string compression =
            m_options.m_bCompress && !zstd ? m_options.m_sCompression : "gz";
        const std::string& checksum = m_options.m_sChecksum;
        auto add = [&](const char* type, const std::string& file) {
            checked(runCommand({"modifyrepo_c", names,
                                m_options.m_bCompress ? "--compress" : "--no-compress",
                                "--compress-type", compression, "--checksum", checksum, "--mdtype",
                                type, file, repodata}),
                    "modifyrepo_c");
        };
        removeTree(repodata);
        std::vector<std::string> createrepo = {
            "createrepo_c", "--quiet", "--no-database",
            m_options.m_bSimpleNames ? "--simple-md-filenames" : "--quiet",
            "--general-compress-type", compression, "--checksum", checksum, m_sDir};
        if (!m_options.m_sBaseUrl.empty()) {
            createrepo.insert(createrepo.begin() + 1, {"--baseurl", m_options.m_sBaseUrl});
        }
        checked(runCommand(createrepo), "createrepo_c");
        if (!m_options.m_bCompress) {
            // createrepo_c always compresses: put a plain copy in its place.
            writeHostFile(work + "/primary.xml",
                          checked(runCommand({"zcat", listFile("primary")}), "zcat"));
            add("primary", work + "/primary.xml");
        }
        for (const DevicePackage& p : m_vDevice) {
            if (p.m_bHasFile) {
                writeHostFile(m_sDir + "/" + p.location(), p.m_sContent);
            }
        }
        writeHostFile(work + "/vtxdata.xml", deviceListXml(m_vDevice, "", checksum));
        add("vtxdata", work + "/vtxdata.xml");
        if (zstd) {
            recompressWithZstd("primary");
            recompressWithZstd("vtxdata");
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        return false;
    }
    return m_pIndexKey == nullptr || signIndex(*m_pIndexKey);
}

std::string RepoBuilder::location(const std::string& type) const {
    std::string index = readHostFile(indexFile());
    std::smatch match;
    return std::regex_search(index, match, lineIn(type, "location")) &&
                   std::regex_search(match[2].first, match[2].second, match,
                                     std::regex("href=\"([^\"]*)\""))
               ? match[1].str()
               : "";
}

std::string RepoBuilder::listFile(const std::string& type) const {
    std::string href = location(type);
    if (href.empty()) {
        throw std::runtime_error("no '" + type + "' entry in " + indexFile());
    }
    return m_sDir + "/" + href;
}

void RepoBuilder::corruptList(const std::string& type) {
    std::string file = listFile(type);
    std::string data = readHostFile(file);
    data[data.size() / 2] = static_cast<char>(data[data.size() / 2] ^ 0x55);
    writeHostFile(file, data);
}

void RepoBuilder::setEntry(const std::string& type, const std::string& file,
                           const std::string* content) {
    const std::string& sumType = m_options.m_sChecksum;
    std::string block = "  <data type=\"" + type + "\">\n    <checksum type=\"" + sumType + "\">" +
                        digestOfFile(sumType, file) + "</checksum>\n";
    if (content != nullptr) {
        block += "    <open-checksum type=\"" + sumType + "\">" + digestOfText(sumType, *content) +
                 "</open-checksum>\n";
    }
    block += "    <location href=\"repodata/" + file.substr(file.rfind('/') + 1) +
             "\"/>\n    <timestamp>" + std::to_string(time(nullptr)) + "</timestamp>\n    <size>" +
             std::to_string(readHostFile(file).size()) + "</size>\n";
    if (content != nullptr) {
        block += "    <open-size>" + std::to_string(content->size()) + "</open-size>\n";
    }
    block += "  </data>\n";
    editIndex([&](std::string text) {
        std::smatch old;
        return std::regex_search(text, old, entryOf(type))
                   ? text.replace(old.position(0), old.length(0), block)
                   : text.insert(text.rfind("</repomd>"), block);
    });
}

void RepoBuilder::replaceList(const std::string& type, const std::string& xml, bool compress) {
    std::string old = location(type);
    if (!old.empty()) {
        unlink((m_sDir + "/" + old).c_str());
    }
    const std::string& compression = m_options.m_sCompression;
    std::string file = m_sDir + "/repodata/" + type + "-replaced.xml" +
                       (compress ? compressionExtension(compression) : "");
    writeHostFile(file, compress ? compressText(xml, compression) : xml);
    setEntry(type, file, compress ? &xml : nullptr);
}

void RepoBuilder::recompressWithZstd(const std::string& type) {
    const std::string old = listFile(type);
    const std::string xml = checked(runCommand({"zcat", old}), "zcat " + old);
    const std::string repodata = m_sDir + "/repodata/";
    const std::string name = type + ".xml" + compressionExtension("zstd");
    std::string file = repodata + name;
    writeHostFile(file, compressText(xml, "zstd"));
    if (!m_options.m_bSimpleNames) {
        const std::string named = repodata + digestOfFile(m_options.m_sChecksum, file) + "-" + name;
        if (rename(file.c_str(), named.c_str()) != 0) {
            throw std::runtime_error("cannot rename " + file);
        }
        file = named;
    }
    unlink(old.c_str());
    setEntry(type, file, &xml);
}

void RepoBuilder::truncateList(const std::string& type) {
    rewriteList(type, [](const std::string& data) { return data.substr(0, data.size() / 2); });
}

void RepoBuilder::rewriteList(const std::string& type,
                              const std::function<std::string(const std::string&)>& edit) {
    std::string file = listFile(type);
    writeHostFile(file, edit(readHostFile(file)));
    setEntry(type, file, nullptr);
}

void RepoBuilder::removeEntry(const std::string& type) {
    checked(runCommand({"modifyrepo_c", "--remove", type, m_sDir + "/repodata"}), "modifyrepo_c");
}

void RepoBuilder::editIndex(const std::function<std::string(const std::string&)>& edit) {
    writeHostFile(indexFile(), edit(readHostFile(indexFile())));
}

void RepoBuilder::dropChecksums(const std::string& type, bool keepOpen) {
    editIndex([&](std::string text) {
        if (!std::regex_search(text, entryOf(type))) {
            throw std::runtime_error("no '" + type + "' entry to edit");
        }
        text = std::regex_replace(text, lineIn(type, "checksum"), "$1");
        return keepOpen ? text : std::regex_replace(text, lineIn(type, "open-checksum"), "$1");
    });
}
