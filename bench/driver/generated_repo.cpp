#include "generated_repo.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>

#include "harness/sandbox.h"

namespace {

constexpr size_t kCorePackages = 5;
constexpr const char* kReleaseTag = "vtx";

const char* const kSyllables[] = {"al",  "ben", "cor", "dex", "el",  "fin", "gar", "hol", "in",
                                  "jus", "kel", "lum", "mor", "nix", "ox",  "pra", "quo", "ros",
                                  "sil", "tor", "ul",  "vex", "wyn", "xal", "yor", "zen"};
constexpr size_t kSyllableCount = sizeof(kSyllables) / sizeof(kSyllables[0]);
const char* const kPrefixes[] = {"", "lib", "python3-", "perl-", "gst-", "qt5-", "", "font-"};
const char* const kGroups[] = {"Applications/Multimedia", "System Environment/Libraries",
                               "Development/Libraries", "Applications/System"};

// A source package of the generated repository.
struct Source {
    size_t m_nIndex = 0;
    std::string m_sStem;
    std::string m_sMain;
    std::string m_sVersion;
    std::string m_sArch;
};

Source source(size_t s) {
    Source src;
    src.m_nIndex = s;
    src.m_sStem = std::string(kSyllables[s % kSyllableCount]) +
                  kSyllables[s / kSyllableCount % kSyllableCount] +
                  kSyllables[s / (kSyllableCount * kSyllableCount) % kSyllableCount];
    size_t round = s / (kSyllableCount * kSyllableCount * kSyllableCount);
    if (round > 0) {
        src.m_sStem += std::to_string(round);
    }
    src.m_sMain = kPrefixes[s % 8] + src.m_sStem;
    src.m_sVersion =
        std::to_string(1 + s % 4) + "." + std::to_string(s % 13) + "." + std::to_string(s % 7);
    src.m_sArch = s % 4 == 3 ? "noarch" : "x86_64";
    return src;
}

// The earlier source whose library a source needs (none for the first).
size_t needs(size_t s) {
    return static_cast<size_t>((s * 2654435761ULL) % 4294967296ULL % s);
}

bool hasNewerRelease(size_t s) {
    return s % 5 == 0;
}
// An older build of the main package stays in the repository.
bool hasOlderBuild(size_t s) {
    return s % 10 == 7;
}
// The newer release needs the library of a source the device lacks.
bool needsNewLibrary(size_t s) {
    return s % 15 == 0;
}

std::string soname(const Source& src) {
    return "lib" + src.m_sStem + ".so." + std::to_string(src.m_nIndex % 3 + 1) + "()(64bit)";
}

std::string subpackageName(const Source& src, size_t sub) {
    if (sub == 0) {
        return src.m_sMain;
    }
    if (sub == 1) {
        return src.m_sMain + "-libs";
    }
    return src.m_sMain + (src.m_nIndex % 2 == 0 ? "-devel" : "-doc");
}

GenDep dep(std::string name, std::string flags = "", std::string version = "",
           std::string release = "") {
    return GenDep{std::move(name), std::move(flags), std::move(version), std::move(release)};
}

void addSelfProvides(GenPackage& p) {
    p.m_vProvides.insert(p.m_vProvides.begin(), dep(p.m_sName, "EQ", p.m_sVersion, p.m_sRelease));
    if (p.m_sArch == "x86_64") {
        p.m_vProvides.insert(p.m_vProvides.begin() + 1,
                             dep(p.m_sName + "(x86-64)", "EQ", p.m_sVersion, p.m_sRelease));
    }
}

GenPackage corePackage(const std::string& name, const std::string& version,
                       const std::string& release, std::vector<GenDep> provides) {
    GenPackage p;
    p.m_sName = name;
    p.m_sVersion = version;
    p.m_sRelease = release;
    p.m_sArch = provides.empty() ? "noarch" : "x86_64";
    p.m_sGroup = "System Environment/Base";
    p.m_sSource = name;
    p.m_vProvides = std::move(provides);
    addSelfProvides(p);
    return p;
}

std::vector<GenPackage> corePackages(bool installed) {
    std::vector<GenPackage> core;
    core.push_back(corePackage("glibc", "2.36", "9",
                               {dep("libc.so.6()(64bit)"), dep("libc.so.6(GLIBC_2.34)(64bit)")}));
    core.push_back(corePackage("bash", "5.2.15", "2", {dep("/bin/sh")}));
    core.push_back(corePackage("python3", "3.11.2", "6", {dep("python(abi)", "EQ", "3.11")}));
    core.push_back(corePackage("player-release", installed ? "4.0" : "4.1", "1", {}));
    core.push_back(corePackage("updater", "1.17", "1", {}));
    return core;
}

// Package `sub` of the source at the given release; `newLibrary`: the source
// of the library a newer release needs, or none (SIZE_MAX).
GenPackage sourcePackage(const Source& src, size_t sub, const std::string& release,
                         size_t newLibrary, bool extras) {
    const size_t s = src.m_nIndex;
    GenPackage p;
    p.m_sName = subpackageName(src, sub);
    p.m_sVersion = src.m_sVersion;
    p.m_sRelease = release;
    p.m_sArch = src.m_sArch;
    p.m_sGroup = kGroups[(s + sub) % 4];
    p.m_sSource = src.m_sMain;
    if (p.m_sArch == "x86_64") {
        p.m_vRequires.push_back(dep("libc.so.6()(64bit)"));
        p.m_vRequires.push_back(dep("libc.so.6(GLIBC_2.34)(64bit)"));
    }
    if (sub == 0) {
        p.m_vProvides.push_back(dep("config(" + p.m_sName + ")", "EQ", p.m_sVersion, release));
        if (s % 2 == 0) {
            p.m_vRequires.push_back(dep("/bin/sh"));
        } else {
            p.m_vRequires.push_back(dep("python(abi)", "GE", "3." + std::to_string(s % 12)));
        }
        p.m_vRequires.push_back(dep(soname(src)));
        if (s > 0) {
            p.m_vRequires.push_back(dep(soname(source(needs(s)))));
        }
        if (newLibrary != SIZE_MAX) {
            p.m_vRequires.push_back(dep(soname(source(newLibrary))));
        }
        if (extras && s % 50 == 3) {
            p.m_vRecommends.push_back(dep(subpackageName(src, 2)));
        }
        if (extras && s % 500 == 250) {
            p.m_vObsoletes.push_back(dep(p.m_sName + "-compat", "LT", p.m_sVersion));
        }
    } else if (sub == 1) {
        p.m_vProvides.push_back(dep(soname(src)));
        if (s > 0) {
            p.m_vRequires.push_back(dep(soname(source(needs(s)))));
        }
    } else {
        if (s % 2 == 0) {
            p.m_vProvides.push_back(dep("pkgconfig(" + src.m_sStem + ")", "EQ", p.m_sVersion));
        }
        p.m_vRequires.push_back(dep(src.m_sMain, "EQ", p.m_sVersion, release));
    }
    addSelfProvides(p);
    return p;
}

std::string installedRelease() {
    return std::string("1.") + kReleaseTag;
}
std::string repoRelease(size_t s) {
    return std::string(hasNewerRelease(s) ? "2." : "1.") + kReleaseTag;
}

void entryXml(std::string& xml, const GenDep& d) {
    xml += "      <rpm:entry name=\"" + d.m_sName + "\"";
    if (!d.m_sFlags.empty()) {
        xml += " flags=\"" + d.m_sFlags + "\" epoch=\"0\" ver=\"" + d.m_sVersion + "\"";
        if (!d.m_sRelease.empty()) {
            xml += " rel=\"" + d.m_sRelease + "\"";
        }
    }
    if (d.m_sName == "/bin/sh") {
        xml += " pre=\"1\"";
    }
    xml += "/>\n";
}

void entriesXml(std::string& xml, const char* kind, const std::vector<GenDep>& deps,
                bool rpmlib = false) {
    if (deps.empty() && !rpmlib) {
        return;
    }
    xml += std::string("    <rpm:") + kind + ">\n";
    for (const GenDep& d : deps) {
        entryXml(xml, d);
    }
    if (rpmlib) {
        xml +=
            "      <rpm:entry name=\"rpmlib(CompressedFileNames)\" flags=\"LE\" epoch=\"0\" "
            "ver=\"3.0.4\" rel=\"1\"/>\n"
            "      <rpm:entry name=\"rpmlib(PayloadIsZstd)\" flags=\"LE\" epoch=\"0\" "
            "ver=\"5.4.18\" rel=\"1\"/>\n";
    }
    xml += std::string("    </rpm:") + kind + ">\n";
}

std::string packageXml(const GenPackage& p, std::mt19937& rng) {
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    char hex[65];
    for (int j = 0; j < 64; ++j) {
        hex[j] = "0123456789abcdef"[pick(16)];
    }
    hex[64] = '\0';
    const std::string evr = "epoch=\"0\" ver=\"" + p.m_sVersion + "\" rel=\"" + p.m_sRelease + "\"";
    std::string xml;
    xml.reserve(2048);
    xml += "<package type=\"rpm\">\n  <name>" + p.m_sName + "</name>\n  <arch>" + p.m_sArch +
           "</arch>\n  <version " + evr + "/>\n  <checksum type=\"sha256\" pkgid=\"YES\">" + hex +
           "</checksum>\n  <summary>The " + p.m_sName + " package of the " + p.m_sSource +
           " project</summary>\n  <description>This package contains the " + p.m_sName +
           " component of " + p.m_sSource +
           ", built for the media player appliance.</description>\n"
           "  <packager>Appliance Build System</packager>\n  <url>https://example.org/" +
           p.m_sSource + "</url>\n  <time file=\"" + std::to_string(1690000000 + pick(9999999)) +
           "\" build=\"" + std::to_string(1680000000 + pick(9999999)) + "\"/>\n  <size package=\"" +
           std::to_string(pick(10000000)) + "\" installed=\"" + std::to_string(pick(100000000)) +
           "\" archive=\"" + std::to_string(pick(100000000)) +
           "\"/>\n  <location href=\"Packages/" + p.m_sName.substr(0, 1) + "/" + p.fileName() +
           "\"/>\n  <format>\n    <rpm:license>MIT AND BSD-3-Clause</rpm:license>\n"
           "    <rpm:vendor>Appliance Project</rpm:vendor>\n    <rpm:group>" +
           p.m_sGroup + "</rpm:group>\n    <rpm:buildhost>build-0" + std::to_string(pick(9)) +
           ".example.org</rpm:buildhost>\n    <rpm:sourcerpm>" + p.m_sSource + "-" + p.m_sVersion +
           "-" + p.m_sRelease +
           ".src.rpm</rpm:sourcerpm>\n"
           "    <rpm:header-range start=\"4504\" end=\"" +
           std::to_string(10000 + pick(90000)) + "\"/>\n";
    entriesXml(xml, "provides", p.m_vProvides);
    entriesXml(xml, "requires", p.m_vRequires, true);
    entriesXml(xml, "obsoletes", p.m_vObsoletes);
    entriesXml(xml, "recommends", p.m_vRecommends);
    xml += "    <file>/usr/bin/" + p.m_sName + "</file>\n    <file type=\"dir\">/etc/" + p.m_sName +
           "</file>\n  </format>\n</package>\n";
    return xml;
}

struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

std::string hexDigest(EVP_MD_CTX* ctx) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(ctx, digest, &size);
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += "0123456789abcdef"[digest[i] >> 4];
        text += "0123456789abcdef"[digest[i] & 15];
    }
    return text;
}

bool sha256OfFile(const std::string& path, std::string& hex, size_t& size) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return false;
    }
    MdCtx ctx(EVP_MD_CTX_new());
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    char buffer[65536];
    size = 0;
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) {
        EVP_DigestUpdate(ctx.get(), buffer, n);
        size += n;
    }
    bool ok = ferror(f) == 0;
    fclose(f);
    hex = hexDigest(ctx.get());
    return ok;
}

}  // namespace

std::string GenPackage::fileName() const {
    return m_sName + "-" + m_sVersion + "-" + m_sRelease + "." + m_sArch + ".rpm";
}

GeneratedRepo::GeneratedRepo(size_t packages, size_t installed) {
    if (installed < kCorePackages + 3) {
        throw std::invalid_argument("too few installed packages");
    }
    const size_t installedSources = (installed - kCorePackages) / 3;

    // The repository: core packages, then sources until the count is reached
    // (an older build of every tenth main package next to its current one).
    m_vAvailable = corePackages(false);
    size_t sources = 0;
    for (size_t count = m_vAvailable.size(); count < packages; ++sources) {
        count += std::min<size_t>(hasOlderBuild(sources) ? 4 : 3, packages - count);
    }
    if (sources < installedSources + 3) {
        throw std::invalid_argument("repository too small for the installed packages");
    }
    // Newer releases that need a new library take it from the sources the
    // device lacks (never the last one, which may be incomplete).
    const size_t missingSources = sources - 1 - installedSources;
    auto newLibraryOf = [&](size_t s) {
        return hasNewerRelease(s) && needsNewLibrary(s)
                   ? installedSources + (s * 40503) % missingSources
                   : SIZE_MAX;
    };
    for (size_t s = 0; s < sources && m_vAvailable.size() < packages; ++s) {
        Source src = source(s);
        const std::string release = repoRelease(s);
        for (size_t sub = 0; sub < 3 && m_vAvailable.size() < packages; ++sub) {
            m_vAvailable.push_back(sourcePackage(src, sub, release, newLibraryOf(s), true));
            if (sub == 0 && hasOlderBuild(s) && m_vAvailable.size() < packages) {
                m_vAvailable.push_back(
                    sourcePackage(src, 0, std::string("0.9.") + kReleaseTag, SIZE_MAX, true));
            }
        }
    }

    // The device: core packages at their installed versions and the first
    // sources at their first release.
    m_vInstalled = corePackages(true);
    for (size_t s = 0; s < installedSources; ++s) {
        Source src = source(s);
        for (size_t sub = 0; sub < 3; ++sub) {
            m_vInstalled.push_back(sourcePackage(src, sub, installedRelease(), SIZE_MAX, false));
        }
    }

    // What an update brings: every installed package with a newer release
    // (all three of a source, and the release package), and the libraries
    // of sources the device lacks that they need, with what those need.
    std::set<size_t> pulled;
    std::vector<size_t> work;
    size_t updates = 1;  // the release package
    auto need = [&](size_t s) {
        if (s >= installedSources && pulled.insert(s).second) {
            work.push_back(s);
        }
    };
    for (size_t s = 0; s < installedSources; ++s) {
        if (hasNewerRelease(s)) {
            updates += 3;
            if (newLibraryOf(s) != SIZE_MAX) {
                need(newLibraryOf(s));
            }
        }
    }
    while (!work.empty()) {
        size_t s = work.back();
        work.pop_back();
        if (s > 0) {
            need(needs(s));
        }
    }
    m_nExpectedUpdates = updates + pulled.size();
}

std::string GeneratedRepo::write(const std::string& dir, size_t* xmlBytes) const {
    const std::string repodata = dir + "/repodata";
    makeDirs(repodata);
    const std::string staged = repodata + "/primary.xml.gz.tmp";
    gzFile out = gzopen(staged.c_str(), "wb6");
    if (out == nullptr) {
        return "";
    }
    MdCtx open(EVP_MD_CTX_new());
    EVP_DigestInit_ex(open.get(), EVP_sha256(), nullptr);
    size_t openSize = 0;
    bool ok = true;
    auto put = [&](const std::string& text) {
        EVP_DigestUpdate(open.get(), text.data(), text.size());
        openSize += text.size();
        ok = ok && gzwrite(out, text.data(), static_cast<unsigned>(text.size())) ==
                       static_cast<int>(text.size());
    };
    put("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<metadata xmlns=\"http://linux.duke.edu/metadata/common\" "
        "xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\" packages=\"" +
        std::to_string(m_vAvailable.size()) + "\">\n");
    std::mt19937 rng(11);
    for (const GenPackage& p : m_vAvailable) {
        put(packageXml(p, rng));
    }
    put("</metadata>\n");
    ok = gzclose(out) == Z_OK && ok;
    std::string checksum;
    size_t size = 0;
    if (!ok || !sha256OfFile(staged, checksum, size)) {
        return "";
    }
    if (xmlBytes != nullptr) {
        *xmlBytes = openSize;
    }
    const std::string location = "repodata/" + checksum + "-primary.xml.gz";
    if (rename(staged.c_str(), (dir + "/" + location).c_str()) != 0) {
        return "";
    }
    const std::string timestamp = "1700000000";
    writeHostFile(repodata + "/repomd.xml",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<repomd xmlns=\"http://linux.duke.edu/metadata/repo\" "
                  "xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\">\n"
                  "  <revision>" +
                      timestamp +
                      "</revision>\n"
                      "  <data type=\"primary\">\n"
                      "    <checksum type=\"sha256\">" +
                      checksum +
                      "</checksum>\n"
                      "    <open-checksum type=\"sha256\">" +
                      hexDigest(open.get()) +
                      "</open-checksum>\n"
                      "    <location href=\"" +
                      location +
                      "\"/>\n"
                      "    <timestamp>" +
                      timestamp +
                      "</timestamp>\n"
                      "    <size>" +
                      std::to_string(size) +
                      "</size>\n"
                      "    <open-size>" +
                      std::to_string(openSize) +
                      "</open-size>\n"
                      "  </data>\n"
                      "</repomd>\n");
    return dir + "/" + location;
}

namespace {

std::string specDep(const GenDep& d) {
    if (d.m_sFlags.empty()) {
        return d.m_sName;
    }
    const char* op = d.m_sFlags == "EQ" ? " = " : d.m_sFlags == "GE" ? " >= " : " < ";
    return d.m_sName + op + d.m_sVersion + (d.m_sRelease.empty() ? "" : "-" + d.m_sRelease);
}

}  // namespace

TestPackage toTestPackage(const GenPackage& package) {
    TestPackage p(package.m_sName, package.m_sVersion + "-" + package.m_sRelease, package.m_sArch);
    p.group(package.m_sGroup);
    // rpmbuild adds the name and, for an architecture, name(arch) itself.
    for (const GenDep& d : package.m_vProvides) {
        if (d.m_sName != package.m_sName && d.m_sName != package.m_sName + "(x86-64)") {
            p.provide(specDep(d));
        }
    }
    for (const GenDep& d : package.m_vRequires) {
        p.require(specDep(d));
    }
    for (const GenDep& d : package.m_vRecommends) {
        p.recommend(specDep(d));
    }
    for (const GenDep& d : package.m_vObsoletes) {
        p.obsolete(specDep(d));
    }
    return p;
}
