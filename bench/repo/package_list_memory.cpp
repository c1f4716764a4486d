// Memory taken by a PackageList of the size of a large repository:
// 50,000 packages with 4 provides and 4 requires each, with a location,
// cache file, checksum and group like a primary list gives them.
//
//   package_list_memory [packages]   (default 50000)
//
// Prints the growth of the resident set while the list is built.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "package/package.h"

namespace {

long statusKiB(const char* field) {
    FILE* f = fopen("/proc/self/status", "r");
    char line[256];
    long value = -1;
    size_t len = strlen(field);
    while (f != nullptr && fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, field, len) == 0) {
            value = strtol(line + len, nullptr, 10);
        }
    }
    if (f != nullptr) {
        fclose(f);
    }
    return value;
}

Dependency dep(const std::string& name, uint32_t flags = 0, const std::string& evr = "") {
    Dependency d = depFromName(name);
    if (!evr.empty()) {
        d.m_evr = parseEvr(evr);
        d.m_nFlags = flags;
    }
    return d;
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 50000;
    static const char* const kPrefixes[] = {"lib",   "python3-", "perl-", "golang-",
                                            "rust-", "texlive-", "",      "ghc-"};
    static const char* const kSuffixes[] = {"", "-devel", "-libs", "-doc", "-common", "-tools"};
    static const char* const kReleases[] = {"1.fc38", "2.fc38", "3.fc38", "1.fc38.1", "12.fc38"};
    static const char* const kGroups[] = {"Unspecified", "System Environment/Libraries",
                                          "Development/Libraries", "Applications/System"};
    std::mt19937 rng(3);
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };

    long before = statusKiB("VmRSS:");
    auto start = std::chrono::steady_clock::now();
    PackageList list;
    char hex[65];
    for (size_t i = 0; i < count; ++i) {
        size_t base = i / 3;  // a few subpackages per source package
        std::string name = std::string(kPrefixes[base % 8]) + "pkg" + std::to_string(base) +
                           kSuffixes[i % 3 == 0 ? 0 : pick(6)];
        if (i % 3 != 0) {
            name += "-" + std::to_string(i % 3);
        }
        std::string version = std::to_string(pick(5)) + "." + std::to_string(pick(20)) + "." +
                              std::to_string(pick(10));
        std::string release = kReleases[pick(5)];
        std::string evr = version + "-" + release;
        std::string file = name + "-" + evr + ".x86_64.rpm";

        Package p;
        p.m_sName = name;
        p.m_sGroup = kGroups[pick(4)];
        p.m_nType = PackageType::RPM;
        p.m_evr = parseEvr(evr);
        p.m_setProvides.insert(dep(name, RPMSENSE_EQUAL, evr));
        p.m_setProvides.insert(dep(name + "(x86-64)", RPMSENSE_EQUAL, evr));
        p.m_setProvides.insert(dep("lib" + name + ".so.1()(64bit)"));
        p.m_setProvides.insert(dep("config(" + name + ")", RPMSENSE_EQUAL, evr));
        p.m_setRequires.insert(dep("libc.so.6()(64bit)"));
        p.m_setRequires.insert(dep("libc.so.6(GLIBC_2.34)(64bit)"));
        p.m_setRequires.insert(dep("libpkg" + std::to_string(pick(count / 3)) + ".so.1()(64bit)"));
        p.m_setRequires.insert(i % 2 == 0 ? dep("/bin/sh")
                                          : dep("python3", RPMSENSE_GREATER | RPMSENSE_EQUAL,
                                                "3." + std::to_string(pick(12))));
        p.m_sLocation = "Packages/" + name.substr(0, 1) + "/" + file;
        p.m_sCacheFile = "/var/cache/updater/packages/" + file;
        for (int j = 0; j < 64; ++j) {
            hex[j] = "0123456789abcdef"[pick(16)];
        }
        hex[64] = '\0';
        p.m_checksum.m_sType = "sha256";
        p.m_checksum.m_sValue = hex;
        p.m_nInstalledSize = static_cast<int64_t>(pick(100000000));
        list.insert(p);
    }
    // Reading sorts what was not inserted in name order.
    size_t named = list.count("libpkg0");
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long after = statusKiB("VmRSS:");
    long peak = statusKiB("VmHWM:");

    string_pool::Stats pool = string_pool::stats();
    printf("packages: %zu (libpkg0 entries: %zu), built in %.2f s\n", list.size(), named, elapsed);
    printf("sizeof(Package) %zu, sizeof(Dependency) %zu, sizeof(DependencySet) %zu\n",
           sizeof(Package), sizeof(Dependency), sizeof(DependencySet));
    printf("string pool: %zu texts, %.1f MiB of text in %.1f MiB of chunks, table %.1f MiB\n",
           pool.m_nStrings, pool.m_nTextBytes / 1048576.0, pool.m_nChunkBytes / 1048576.0,
           pool.m_nTableBytes / 1048576.0);
    printf("resident set: %.1f MiB before, %.1f MiB after, peak %.1f MiB\n", before / 1024.0,
           after / 1024.0, peak / 1024.0);
    printf("package list took %.1f MiB (%.0f bytes per package; aim: at most 35 MiB)\n",
           (after - before) / 1024.0,
           static_cast<double>(after - before) * 1024.0 / static_cast<double>(count));
    return 0;
}
