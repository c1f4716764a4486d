#include "harness/repo_builder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

#include "harness/command.h"
#include "harness/sandbox.h"

namespace {

constexpr const char* kCommonNs = "http://linux.duke.edu/metadata/common";
constexpr const char* kRpmNs = "http://linux.duke.edu/metadata/rpm";
constexpr const char* kVtxNs = "http://www.vantorix.com/metadata/vtxdata";

std::string escapeXml(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

struct SplitEvr {
    std::string m_sEpoch = "0";
    std::string m_sVersion;
    std::string m_sRelease;
};

SplitEvr splitEvr(std::string_view evr) {
    SplitEvr result;
    size_t colon = evr.find(':');
    if (colon != std::string_view::npos) {
        result.m_sEpoch = std::string(evr.substr(0, colon));
        evr = evr.substr(colon + 1);
    }
    size_t dash = evr.find('-');
    result.m_sVersion = std::string(evr.substr(0, dash));
    if (dash != std::string_view::npos) {
        result.m_sRelease = std::string(evr.substr(dash + 1));
    }
    return result;
}

// "name" or "name op evr" as an <vtx:entry/> element.
std::string entryXml(const std::string& dep) {
    std::istringstream in(dep);
    std::string name;
    std::string op;
    std::string evr;
    in >> name >> op >> evr;
    std::string xml = "<vtx:entry name=\"" + escapeXml(name) + "\"";
    if (!op.empty()) {
        static const std::pair<const char*, const char*> kOps[] = {
            {"=", "EQ"}, {"==", "EQ"}, {">=", "GE"}, {"<=", "LE"}, {"<", "LT"}, {">", "GT"}};
        const char* flags = nullptr;
        for (const auto& o : kOps) {
            if (op == o.first) {
                flags = o.second;
            }
        }
        if (flags == nullptr) {
            throw std::runtime_error("bad dependency operator in '" + dep + "'");
        }
        SplitEvr split = splitEvr(evr);
        xml += std::string(" flags=\"") + flags + "\" epoch=\"" + split.m_sEpoch + "\" ver=\"" +
               escapeXml(split.m_sVersion) + "\"";
        if (!split.m_sRelease.empty()) {
            xml += " rel=\"" + escapeXml(split.m_sRelease) + "\"";
        }
    }
    return xml + "/>";
}

std::string entriesXml(const char* kind, const std::vector<std::string>& deps) {
    if (deps.empty()) {
        return "";
    }
    std::string xml = std::string("      <vtx:") + kind + ">\n";
    for (const std::string& dep : deps) {
        xml += "        " + entryXml(dep) + "\n";
    }
    return xml + "      </vtx:" + kind + ">\n";
}

void check(const CommandResult& r, const std::string& what) {
    if (r.status != 0) {
        throw std::runtime_error(what + " failed (" + std::to_string(r.status) + "):\n" + r.output);
    }
}

// The <data type="..."> block of an index: [begin, end) offsets, or npos.
std::pair<size_t, size_t> dataBlock(const std::string& index, const std::string& type) {
    size_t begin = index.find("<data type=\"" + type + "\"");
    if (begin == std::string::npos) {
        return {std::string::npos, std::string::npos};
    }
    size_t end = index.find("</data>", begin);
    if (end == std::string::npos) {
        return {std::string::npos, std::string::npos};
    }
    // Take the indentation and the line end along.
    while (begin > 0 && index[begin - 1] == ' ') {
        --begin;
    }
    end += 7;
    if (end < index.size() && index[end] == '\n') {
        ++end;
    }
    return {begin, end};
}

// Removes the line holding the element (first occurrence inside [begin, end)).
void removeLine(std::string& text, size_t begin, size_t end, const std::string& element) {
    size_t at = text.find("<" + element + " ", begin);
    if (at == std::string::npos || at >= end) {
        return;
    }
    size_t lineStart = text.rfind('\n', at) + 1;
    size_t lineEnd = text.find('\n', at);
    text.erase(lineStart, lineEnd + 1 - lineStart);
}

}  // namespace

DevicePackage::DevicePackage(std::string name, std::string_view evr, std::string type)
    : m_sType(std::move(type)), m_sName(std::move(name)) {
    SplitEvr split = splitEvr(evr);
    m_nEpoch = static_cast<uint32_t>(std::stoul(split.m_sEpoch));
    m_sVersion = split.m_sVersion;
    m_sRelease = split.m_sRelease.empty() ? "1" : split.m_sRelease;
    m_sContent = "device package " + m_sName + "-" + m_sVersion + "-" + m_sRelease + "\n";
}

DevicePackage& DevicePackage::require(std::string dep) {
    m_vRequires.push_back(std::move(dep));
    return *this;
}
DevicePackage& DevicePackage::recommend(std::string dep) {
    m_vRecommends.push_back(std::move(dep));
    return *this;
}
DevicePackage& DevicePackage::provide(std::string dep) {
    m_vProvides.push_back(std::move(dep));
    return *this;
}
DevicePackage& DevicePackage::obsolete(std::string dep) {
    m_vObsoletes.push_back(std::move(dep));
    return *this;
}
DevicePackage& DevicePackage::group(std::string group) {
    m_sGroup = std::move(group);
    return *this;
}
DevicePackage& DevicePackage::arch(std::string arch) {
    m_sArch = std::move(arch);
    return *this;
}
DevicePackage& DevicePackage::content(std::string content) {
    m_sContent = std::move(content);
    return *this;
}
DevicePackage& DevicePackage::installedSize(int64_t size) {
    m_nInstalledSize = size;
    return *this;
}
DevicePackage& DevicePackage::noFile() {
    m_bHasFile = false;
    return *this;
}

std::string DevicePackage::fileName() const {
    return m_sName + "-" + m_sVersion + "-" + m_sRelease + "." + m_sArch + ".vtx";
}

std::string DevicePackage::location() const {
    return "vtxpkg/" + fileName();
}

std::string devicePackageXml(const DevicePackage& p) {
    std::ostringstream xml;
    xml << "<package type=\"" << escapeXml(p.m_sType) << "\">\n"
        << "  <name>" << escapeXml(p.m_sName) << "</name>\n"
        << "  <arch>" << escapeXml(p.m_sArch) << "</arch>\n"
        << "  <version epoch=\"" << p.m_nEpoch << "\" ver=\"" << escapeXml(p.m_sVersion)
        << "\" rel=\"" << escapeXml(p.m_sRelease) << "\"/>\n";
    if (p.m_bHasFile) {
        xml << "  <checksum type=\"sha256\">" << sha256OfText(p.m_sContent) << "</checksum>\n"
            << "  <location href=\"" << escapeXml(p.location()) << "\"/>\n";
    }
    xml << "  <size package=\"" << p.m_sContent.size() << "\" installed=\"" << p.m_nInstalledSize
        << "\"/>\n"
        << "  <format>\n";
    if (!p.m_sGroup.empty()) {
        xml << "      <vtx:group>" << escapeXml(p.m_sGroup) << "</vtx:group>\n";
    }
    xml << entriesXml("provides", p.m_vProvides) << entriesXml("requires", p.m_vRequires)
        << entriesXml("recommends", p.m_vRecommends) << entriesXml("obsoletes", p.m_vObsoletes)
        << "  </format>\n"
        << "</package>\n";
    return xml.str();
}

std::string deviceListXml(const std::vector<DevicePackage>& packages, const std::string& extra) {
    std::string xml = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
                      "<vtx:vtxdata xmlns=\"" + kCommonNs + "\" xmlns:vtx=\"" + kVtxNs +
                      "\" packages=\"" + std::to_string(packages.size()) + "\">\n";
    for (const DevicePackage& p : packages) {
        xml += devicePackageXml(p);
    }
    return xml + extra + "</vtx:vtxdata>\n";
}

std::string primaryListXml(const std::string& packages) {
    return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") + "<metadata xmlns=\"" +
           kCommonNs + "\" xmlns:rpm=\"" + kRpmNs + "\">\n" + packages + "</metadata>\n";
}

std::string sha256OfFile(const std::string& path) {
    CommandResult r = runCommand({"sha256sum", path});
    check(r, "sha256sum " + path);
    return r.output.substr(0, 64);
}

std::string sha256OfText(const std::string& text) {
    char pattern[] = "/tmp/repo-builder-sum.XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    writeHostFile(pattern, text);
    std::string sum = sha256OfFile(pattern);
    unlink(pattern);
    return sum;
}

std::string gzipText(const std::string& text) {
    char pattern[] = "/tmp/repo-builder-gzip.XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    writeHostFile(pattern, text);
    CommandResult r = runCommand({"gzip", "-n", "-f", pattern});
    check(r, "gzip");
    std::string gz = std::string(pattern) + ".gz";
    std::string data = readHostFile(gz);
    unlink(gz.c_str());
    return data;
}

RepoBuilder::RepoBuilder(std::string dir) : RepoBuilder(std::move(dir), Options()) {}

RepoBuilder::RepoBuilder(std::string dir, Options options)
    : m_sDir(std::move(dir)), m_options(options), m_builder(m_sDir + ".work") {
    makeDirs(m_sDir + "/packages");
}

RepoBuilder& RepoBuilder::add(const TestPackage& package) {
    m_vPending.push_back(package);
    return *this;
}

RepoBuilder& RepoBuilder::add(const std::vector<TestPackage>& packages) {
    m_vPending.insert(m_vPending.end(), packages.begin(), packages.end());
    return *this;
}

RepoBuilder& RepoBuilder::addDevicePackage(const DevicePackage& package) {
    m_vDevice.push_back(package);
    return *this;
}

std::string RepoBuilder::rpmLocation(const TestPackage& package) {
    return "packages/" + package.fileName();
}

bool RepoBuilder::build() {
    try {
        if (!m_vPending.empty()) {
            std::vector<std::string> files = m_builder.build(m_vPending, m_sDir + "/packages");
            if (files.empty()) {
                return false;
            }
            for (const std::string& file : files) {
                if (m_pPackageKey != nullptr && !m_pPackageKey->signPackage(file)) {
                    return false;
                }
            }
            m_vPending.clear();
        }
        const std::string work = m_sDir + ".work";
        const std::string repodata = m_sDir + "/repodata";
        removeTree(repodata);
        std::vector<std::string> createrepo = {"createrepo_c", "--quiet", "--no-database"};
        std::vector<std::string> modify = {"modifyrepo_c"};
        if (m_options.m_bSimpleNames) {
            createrepo.push_back("--simple-md-filenames");
            modify.push_back("--simple-md-filenames");
        }
        if (!m_options.m_bCompress) {
            modify.push_back("--no-compress");
        }
        createrepo.push_back(m_sDir);
        check(runCommand(createrepo), "createrepo_c");

        if (!m_options.m_bCompress) {
            // createrepo_c always compresses: put a plain copy in its place.
            std::string plain = work + "/primary.xml";
            check(runShell("zcat '" + listFile("primary") + "' > '" + plain + "'"), "zcat");
            std::vector<std::string> argv = modify;
            argv.insert(argv.end(), {"--mdtype", "primary", plain, repodata});
            check(runCommand(argv), "modifyrepo_c primary");
        }

        if (m_options.m_bDeviceList) {
            for (const DevicePackage& p : m_vDevice) {
                if (p.m_bHasFile) {
                    writeHostFile(m_sDir + "/" + p.location(), p.m_sContent);
                }
            }
            std::string list = work + "/vtxdata.xml";
            writeHostFile(list, deviceListXml(m_vDevice));
            std::vector<std::string> argv = modify;
            argv.insert(argv.end(), {"--mdtype", "vtxdata", list, repodata});
            check(runCommand(argv), "modifyrepo_c vtxdata");
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        return false;
    }
    return m_pIndexKey == nullptr || signIndex(*m_pIndexKey);
}

RepoBuilder& RepoBuilder::signWith(const TestKey* packageKey, const TestKey* indexKey) {
    m_pPackageKey = packageKey;
    m_pIndexKey = indexKey;
    return *this;
}

bool RepoBuilder::signIndex(const TestKey& key) {
    return key.detachSign(indexFile(), signatureFile());
}

std::string RepoBuilder::location(const std::string& type) const {
    std::string index = readHostFile(indexFile());
    auto block = dataBlock(index, type);
    if (block.first == std::string::npos) {
        return "";
    }
    size_t href = index.find("href=\"", block.first);
    if (href == std::string::npos || href >= block.second) {
        return "";
    }
    href += 6;
    return index.substr(href, index.find('"', href) - href);
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
                           const std::string& openSum) {
    std::string name = file.substr(file.rfind('/') + 1);
    std::string block = "  <data type=\"" + type + "\">\n    <checksum type=\"sha256\">" +
                        sha256OfFile(file) + "</checksum>\n";
    if (!openSum.empty()) {
        block += "    <open-checksum type=\"sha256\">" + openSum + "</open-checksum>\n";
    }
    block += "    <location href=\"repodata/" + name + "\"/>\n    <timestamp>" +
             std::to_string(time(nullptr)) + "</timestamp>\n  </data>\n";
    editIndex([&](const std::string& index) {
        std::string text = index;
        auto old = dataBlock(text, type);
        if (old.first != std::string::npos) {
            text.replace(old.first, old.second - old.first, block);
        } else {
            text.insert(text.rfind("</repomd>"), block);
        }
        return text;
    });
}

void RepoBuilder::replaceList(const std::string& type, const std::string& xml, bool compress) {
    const std::string repodata = m_sDir + "/repodata/";
    std::string old = location(type);
    if (!old.empty()) {
        unlink((m_sDir + "/" + old).c_str());
    }
    std::string plain = m_sDir + ".work/" + type + "-replaced.xml";
    writeHostFile(plain, xml);
    std::string openSum = sha256OfFile(plain);
    std::string file = repodata + type + "-replaced.xml" + (compress ? ".gz" : "");
    writeHostFile(file, compress ? gzipText(xml) : xml);
    setEntry(type, file, compress ? openSum : "");
}

void RepoBuilder::truncateList(const std::string& type) {
    std::string file = listFile(type);
    std::string data = readHostFile(file);
    writeHostFile(file, data.substr(0, data.size() / 2));
    setEntry(type, file, "");
}

void RepoBuilder::removeEntry(const std::string& type) {
    check(runCommand({"modifyrepo_c", "--remove", type, m_sDir + "/repodata"}),
          "modifyrepo_c --remove");
}

void RepoBuilder::editIndex(const std::function<std::string(const std::string&)>& edit) {
    writeHostFile(indexFile(), edit(readHostFile(indexFile())));
}

void RepoBuilder::dropChecksums(const std::string& type, bool keepOpen) {
    editIndex([&](const std::string& index) {
        std::string text = index;
        auto block = dataBlock(text, type);
        if (block.first == std::string::npos) {
            throw std::runtime_error("no '" + type + "' entry to edit");
        }
        if (!keepOpen) {
            removeLine(text, block.first, block.second, "open-checksum");
            block = dataBlock(text, type);
        }
        removeLine(text, block.first, block.second, "checksum");
        return text;
    });
}
