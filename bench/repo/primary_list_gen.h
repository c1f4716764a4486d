// Synthetic primary lists in the published rpm-md layout, as createrepo_c
// writes them: every package with its summary, description, times, sizes,
// location, RPM header data, a few provides and requires (some of them
// rpmlib() entries) and a few files. 1.5 to 2 KB of XML per package.
#pragma once

#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>

// Writes count packages to path, gzip-compressed; false when writing fails.
inline bool writePrimaryList(const std::string& path, size_t count) {
    gzFile out = gzopen(path.c_str(), "wb6");
    if (out == nullptr) {
        return false;
    }
    static const char* const kPrefixes[] = {"lib",   "python3-", "perl-", "golang-",
                                            "rust-", "texlive-", "",      "ghc-"};
    static const char* const kSuffixes[] = {"", "-devel", "-libs", "-doc", "-common", "-tools"};
    static const char* const kReleases[] = {"1.fc38", "2.fc38", "3.fc38", "1.fc38.1", "12.fc38"};
    static const char* const kGroups[] = {"Unspecified", "System Environment/Libraries",
                                          "Development/Libraries", "Applications/System"};
    static const char* const kArches[] = {"x86_64", "x86_64", "x86_64", "noarch"};
    std::mt19937 rng(3);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };

    gzprintf(out,
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<metadata xmlns=\"http://linux.duke.edu/metadata/common\" "
             "xmlns:rpm=\"http://linux.duke.edu/metadata/rpm\" packages=\"%zu\">\n",
             count);
    std::string xml;
    char hex[65];
    for (size_t i = 0; i < count; ++i) {
        size_t base = i / 3;  // a few subpackages per source package
        std::string source = std::string(kPrefixes[base % 8]) + "pkg" + std::to_string(base);
        std::string name = source + kSuffixes[i % 3 == 0 ? 0 : pick(6)];
        if (i % 3 != 0) {
            name += "-" + std::to_string(i % 3);
        }
        std::string version = std::to_string(pick(5)) + "." + std::to_string(pick(20)) + "." +
                              std::to_string(pick(10));
        std::string release = kReleases[pick(5)];
        std::string arch = kArches[pick(4)];
        std::string evr = "epoch=\"0\" ver=\"" + version + "\" rel=\"" + release + "\"";
        for (int j = 0; j < 64; ++j) {
            hex[j] = "0123456789abcdef"[pick(16)];
        }
        hex[64] = '\0';
        std::string file = name + "-" + version + "-" + release + "." + arch + ".rpm";
        xml.clear();
        xml += "<package type=\"rpm\">\n  <name>" + name + "</name>\n  <arch>" + arch +
               "</arch>\n  <version " + evr + "/>\n  <checksum type=\"sha256\" pkgid=\"YES\">" +
               hex + "</checksum>\n  <summary>The " + name + " package of the " + source +
               " project</summary>\n  <description>This package contains the " + name +
               " component of " + source +
               ". Made for measuring the list reader.</description>\n  <packager>Fedora "
               "Project</packager>\n"
               "  <url>https://example.org/" +
               source + "</url>\n  <time file=\"" + std::to_string(1690000000 + pick(9999999)) +
               "\" build=\"" + std::to_string(1680000000 + pick(9999999)) +
               "\"/>\n  <size package=\"" + std::to_string(pick(10000000)) + "\" installed=\"" +
               std::to_string(pick(100000000)) + "\" archive=\"" + std::to_string(pick(100000000)) +
               "\"/>\n  <location href=\"Packages/" + name.substr(0, 1) + "/" + file +
               "\"/>\n  <format>\n    <rpm:license>MIT AND BSD-3-Clause</rpm:license>\n"
               "    <rpm:vendor>Fedora Project</rpm:vendor>\n    <rpm:group>" +
               kGroups[pick(4)] + "</rpm:group>\n    <rpm:buildhost>buildhw-x86-0" +
               std::to_string(pick(9)) + ".example.org</rpm:buildhost>\n    <rpm:sourcerpm>" +
               source + "-" + version + "-" + release +
               ".src.rpm</rpm:sourcerpm>\n    <rpm:header-range start=\"4504\" end=\"" +
               std::to_string(10000 + pick(90000)) + "\"/>\n    <rpm:provides>\n" +
               "      <rpm:entry name=\"" + name + "\" flags=\"EQ\" " + evr + "/>\n" +
               "      <rpm:entry name=\"lib" + name + ".so.1()(64bit)\"/>\n" +
               "      <rpm:entry name=\"config(" + name + ")\" flags=\"EQ\" " + evr + "/>\n" +
               "    </rpm:provides>\n    <rpm:requires>\n" +
               "      <rpm:entry name=\"libc.so.6()(64bit)\"/>\n" +
               "      <rpm:entry name=\"libc.so.6(GLIBC_2.34)(64bit)\"/>\n" +
               "      <rpm:entry name=\"libpkg" + std::to_string(pick(count / 3 + 1)) +
               ".so.1()(64bit)\"/>\n" +
               (i % 2 == 0 ? std::string("      <rpm:entry name=\"/bin/sh\" pre=\"1\"/>\n")
                           : "      <rpm:entry name=\"python3\" flags=\"GE\" epoch=\"0\" "
                             "ver=\"3." +
                                 std::to_string(pick(12)) + "\"/>\n") +
               "      <rpm:entry name=\"rpmlib(CompressedFileNames)\" flags=\"LE\" epoch=\"0\" "
               "ver=\"3.0.4\" rel=\"1\"/>\n" +
               "    </rpm:requires>\n    <file>/usr/bin/" + name + "</file>\n" +
               "    <file type=\"dir\">/etc/" + name + "</file>\n  </format>\n</package>\n";
        if (gzwrite(out, xml.data(), static_cast<unsigned>(xml.size())) !=
            static_cast<int>(xml.size())) {
            gzclose(out);
            return false;
        }
    }
    gzputs(out, "</metadata>\n");
    return gzclose(out) == Z_OK;
}
