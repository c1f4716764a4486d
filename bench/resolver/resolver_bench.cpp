// Selection and resolution on generated repositories of 1,000, 10,000 and
// 50,000 packages against a real RPM database of 2,000 installed packages.
//
//   resolver_bench [work directory] [sizes...]   (defaults: ./resolver-bench, 1000 10000 50000)
//
// The installed packages are built with rpmbuild and recorded with rpm. Every
// third installed package has an update in the repository that needs one of
// 100 chains of six packages (six pull iterations); some updates recommend
// packages, a few of which cannot be completed and are taken back. The rest
// of the repository is packages that nothing needs.
//
// Prints the CPU time (best of three) of reading the database alone, of
// init (database, guard and selection) and of resolve, and the growth of
// their sum from one size to the next. For reference it also times resolve
// with the pull passes walking the whole repository, as they do when trace
// output is on (the output itself discarded).
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/config.h"
#include "harness/package_builder.h"
#include "harness/sandbox.h"
#include "resolver/resolver.h"
#include "rpmdb/rpm_db.h"
#include "support/logger.h"

namespace {

constexpr size_t kInstalled = 2000;
constexpr size_t kChains = 100;
constexpr size_t kChainDepth = 6;
constexpr size_t kRecommended = 20;

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string number(size_t value, int width) {
    std::string text = std::to_string(value);
    return std::string(text.size() < static_cast<size_t>(width) ? width - text.size() : 0, '0') +
           text;
}

std::string installedName(size_t i) {
    return "pkg-" + number(i, 5);
}

Dependency dep(const std::string& name, uint32_t flags = 0, const std::string& evr = "") {
    Dependency d = depFromName(name);
    d.m_nFlags = flags;
    if (!evr.empty()) {
        d.m_evr = parseEvr(evr);
    }
    return d;
}

Package package(const std::string& name, const std::string& evr) {
    Package p;
    p.m_sName = name;
    p.m_nType = PackageType::RPM;
    p.m_evr = parseEvr(evr);
    p.m_setProvides.insert(depFromPackage(p));
    p.m_sLocation = name + "-" + evr + ".noarch.rpm";
    return p;
}

std::vector<TestPackage> installedPackages() {
    std::vector<TestPackage> packages;
    for (size_t i = 0; i < kInstalled; ++i) {
        TestPackage p(installedName(i), "1.0-1");
        p.provide("libpkg" + std::to_string(i) + " = 1.0")
            .require("libpkg" + std::to_string((i * 7 + 1) % kInstalled))
            .require("/bin/sh");
        packages.push_back(p);
    }
    return packages;
}

// The repository of about `size` packages.
PackageList availablePackages(size_t size) {
    PackageList list;
    size_t count = 0;
    for (size_t c = 0; c < kChains; ++c) {
        for (size_t d = 0; d < kChainDepth; ++d) {
            Package p = package("chain-" + number(c, 3) + "-" + std::to_string(d), "1.0-1");
            p.m_setProvides.insert(
                dep("cap-" + std::to_string(c) + "-" + std::to_string(d), RPMSENSE_EQUAL, "1.0"));
            if (d + 1 < kChainDepth) {
                p.m_setRequires.insert(dep("cap-" + std::to_string(c) + "-" + std::to_string(d + 1),
                                           RPMSENSE_GREATER | RPMSENSE_EQUAL, "1.0"));
            }
            list.insert(std::move(p));
            ++count;
        }
    }
    for (size_t r = 0; r < kRecommended; ++r) {
        Package p = package("rec-" + number(r, 3), "1.0-1");
        p.m_setProvides.insert(dep("rec-cap-" + std::to_string(r)));
        if (r % 4 == 0) {
            p.m_setRequires.insert(dep("missing-" + std::to_string(r)));
        }
        list.insert(std::move(p));
        ++count;
    }
    size_t names = std::min(kInstalled, size > count ? (size - count) * 2 / 3 : 0);
    for (size_t i = 0; i < names; ++i) {
        bool update = i % 3 == 0;
        if (update && i % 2 == 0) {
            // An older build next to the update.
            list.insert(package(installedName(i), "1.5-1"));
            ++count;
        }
        Package p = package(installedName(i), update ? "2.0-1" : "1.0-1");
        p.m_setProvides.insert(
            dep("libpkg" + std::to_string(i), RPMSENSE_EQUAL, update ? "2.0" : "1.0"));
        p.m_setRequires.insert(dep("libpkg" + std::to_string((i * 7 + 1) % kInstalled)));
        p.m_setRequires.insert(dep("/bin/sh"));
        if (update) {
            p.m_setRequires.insert(dep("cap-" + std::to_string(i / 3 % kChains) + "-0",
                                       RPMSENSE_GREATER | RPMSENSE_EQUAL, "1.0"));
            if (i % 50 == 0) {
                p.m_setRecommends.insert(dep("rec-cap-" + std::to_string(i / 50 % kRecommended)));
            }
        }
        list.insert(std::move(p));
        ++count;
    }
    for (size_t j = 0; count < size; ++j, ++count) {
        Package p = package("extra-" + number(j, 6), std::to_string(1 + j % 5) + ".0-1");
        p.m_setProvides.insert(dep("libextra" + std::to_string(j) + ".so.1"));
        p.m_setRequires.insert(dep("libextra" + std::to_string(j / 2) + ".so.1"));
        if (j % 1000 == 7) {
            p.m_setObsoletes.insert(dep("retired-" + std::to_string(j), RPMSENSE_LESS, "2.0"));
        }
        list.insert(std::move(p));
    }
    return list;
}

struct Times {
    double m_nInit = 1e9;
    double m_nResolve = 1e9;
    size_t m_nNew = 0;
    size_t m_nBad = 0;
    bool m_bResolved = false;
};

Times measure(const PackageList& available, bool fullWalk, int rounds) {
    Config config;
    Times best;
    for (int round = 0; round < rounds; ++round) {
        // The full walk is what the pull passes do when trace output is on.
        theLogger().setLevel(fullWalk ? LogLevel::Trace : LogLevel::Warning);
        double start = cpuSeconds();
        Resolver resolver(config, 0, available);
        if (!resolver.init(PackageList(), {}, {}, {}, {})) {
            fprintf(stderr, "init failed\n");
            exit(1);
        }
        double initialised = cpuSeconds();
        best.m_bResolved = resolver.resolve();
        double resolved = cpuSeconds();
        best.m_nInit = std::min(best.m_nInit, initialised - start);
        best.m_nResolve = std::min(best.m_nResolve, resolved - initialised);
        best.m_nNew = resolver.newPackages().size();
        best.m_nBad = resolver.badPackages().size();
    }
    theLogger().setLevel(LogLevel::Warning);
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    std::string work = argc > 1 ? argv[1] : "resolver-bench";
    std::vector<size_t> sizes;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(strtoul(argv[i], nullptr, 10));
    }
    if (sizes.empty()) {
        sizes = {1000, 10000, 50000};
    }
    removeTree(work);
    makeDirs(work);
    char cwd[4096];
    std::string base = work[0] == '/' ? work : std::string(getcwd(cwd, sizeof(cwd))) + "/" + work;
    std::string dbPath = base + "/rpmdb";

    PackageBuilder builder(base + "/build");
    std::vector<std::string> files = builder.build(installedPackages(), base + "/rpms");
    if (files.size() != kInstalled || !initRpmDb(dbPath) || !installJustDb(dbPath, files)) {
        fprintf(stderr, "cannot make the database\n");
        return 1;
    }
    rpmReadConfigFiles(nullptr, nullptr);
    rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
    theLogger().setStderr(false);
    theLogger().setLevel(LogLevel::Warning);

    double database = 1e9;
    for (int round = 0; round < 3; ++round) {
        double start = cpuSeconds();
        RpmDB db;
        if (!db.open(HeaderCheck::SKIP) || !db.getInstalledPackages()) {
            fprintf(stderr, "cannot read the database\n");
            return 1;
        }
        database = std::min(database, cpuSeconds() - start);
    }
    printf("CPU seconds, best of 3; %zu installed packages; reading them alone: %.3f s\n\n",
           kInstalled, database);
    printf("%10s %6s %4s %6s %9s %9s %9s %7s %11s\n", "available", "new", "bad", "result", "init",
           "resolve", "total", "growth", "full walk");
    double previous = 0;
    for (size_t size : sizes) {
        PackageList available = availablePackages(size);
        Times t = measure(available, false, 3);
        Times walk = measure(available, true, 1);
        double total = t.m_nInit + t.m_nResolve;
        char growth[32] = "";
        if (previous > 0) {
            snprintf(growth, sizeof(growth), "x%.1f", total / previous);
        }
        printf("%10zu %6zu %4zu %6s %7.3f s %7.3f s %7.3f s %7s %9.3f s\n", available.size(),
               t.m_nNew, t.m_nBad, t.m_bResolved ? "ok" : "FAILED", t.m_nInit, t.m_nResolve, total,
               growth, walk.m_nResolve);
        previous = total;
    }
    printf(
        "\ninit: database, guard and selection; total: init and resolve; growth: of the total\n"
        "from the previous size; full walk: resolve with the pull passes walking the whole\n"
        "repository, as they do with trace output on (the output discarded, one round)\n");
    removeTree(work);
    return 0;
}
