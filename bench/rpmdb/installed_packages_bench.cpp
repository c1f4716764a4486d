// getInstalledPackages on a database of 2,000 installed packages against
// `rpm -qa --qf '%{NAME}\n'` on the same database.
//
//   installed_packages_bench [work directory] [packages]   (defaults: ./installed-bench, 2000)
//
// Builds the packages with rpmbuild, records them in a fresh database, then
// times each side five times and prints the best times and their ratio
// (rpm time / getInstalledPackages time; 1.0 means as fast as rpm).
#include <rpm/rpmlib.h>
#include <rpm/rpmmacro.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "harness/command.h"
#include "harness/package_builder.h"
#include "harness/sandbox.h"
#include "rpmdb/rpm_db.h"
#include "support/logger.h"

namespace {

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    std::string work = argc > 1 ? argv[1] : "installed-bench";
    size_t count = argc > 2 ? strtoul(argv[2], nullptr, 10) : 2000;
    removeTree(work);
    makeDirs(work);
    char cwd[4096];
    std::string dbPath =
        (work[0] == '/' ? work : std::string(getcwd(cwd, sizeof(cwd))) + "/" + work) + "/rpmdb";

    std::vector<TestPackage> packages;
    for (size_t i = 0; i < count; ++i) {
        std::string name = "bench-package-" + std::to_string(i);
        TestPackage p(name, std::to_string(i % 7) + "." + std::to_string(i % 13) + "-" +
                                std::to_string(1 + i % 3) + ".fc38");
        p.require("bench-package-" + std::to_string((i * 7919) % count) + " >= 0.1")
            .require("/bin/sh")
            .require("libc.so.6()(64bit)")
            .recommend("bench-extra-" + std::to_string(i % 50))
            .provide("libbench" + std::to_string(i) + ".so.1()(64bit)")
            .provide("bench-capability-" + std::to_string(i % 100) + " = 1.0");
        packages.push_back(p);
    }
    auto start = std::chrono::steady_clock::now();
    PackageBuilder builder(work + "/build");
    std::vector<std::string> files = builder.build(packages, work + "/rpms");
    if (files.size() != count || !initRpmDb(dbPath) || !installJustDb(dbPath, files)) {
        fprintf(stderr, "cannot make the database\n");
        return 1;
    }
    printf("built and recorded %zu packages in %.1f s\n", count, seconds(start));

    rpmReadConfigFiles(nullptr, nullptr);
    rpmPushMacro(nullptr, "_dbpath", nullptr, dbPath.c_str(), RMIL_CMDLINE);
    theLogger().setLevel(LogLevel::Warning);

    double bestRpm = 1e9;
    double bestOurs[2] = {1e9, 1e9};
    size_t listed = 0;
    for (int i = 0; i < 5; ++i) {
        auto t = std::chrono::steady_clock::now();
        CommandResult r = runCommand({"rpm", "--dbpath", dbPath, "-qa", "--qf", "%{NAME}\\n"});
        bestRpm = std::min(bestRpm, seconds(t));
        if (r.status != 0) {
            fprintf(stderr, "rpm -qa failed\n");
            return 1;
        }
        for (int check = 0; check < 2; ++check) {
            t = std::chrono::steady_clock::now();
            RpmDB db;
            std::unique_ptr<PackageList> list;
            if (db.open(check == 0 ? HeaderCheck::SKIP : HeaderCheck::VERIFY)) {
                list = db.getInstalledPackages();
            }
            db.close();
            bestOurs[check] = std::min(bestOurs[check], seconds(t));
            if (!list) {
                fprintf(stderr, "getInstalledPackages failed\n");
                return 1;
            }
            listed = list->size();
        }
    }
    printf("packages listed: %zu\n", listed);
    printf("rpm -qa --qf '%%{NAME}\\n':                  %.3f s\n", bestRpm);
    printf("getInstalledPackages (headers not checked): %.3f s  ratio %.2f\n", bestOurs[0],
           bestRpm / bestOurs[0]);
    printf("getInstalledPackages (headers checked):     %.3f s  ratio %.2f\n", bestOurs[1],
           bestRpm / bestOurs[1]);
    printf("(ratio: rpm time / getInstalledPackages time; aim: at least 1)\n");
    removeTree(work);
    return 0;
}
