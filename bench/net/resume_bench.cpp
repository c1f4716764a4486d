// A large package over a server that cuts every response after a number of
// bytes: the real updater, run again until the package is installed, and
// what the server sent in all (its own count) against the package's size.
//
//   bench_net_resume [package MiB, default 50] [cut after MiB, default 8]
//   UPDATER_BENCH_BINARY=path/to/updater measures another build.
//
// Needs root, as the tests do (the runs go through sandbox-run).
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/appliance.h"

int main(int argc, char** argv) {
    const long size = argc > 1 ? atol(argv[1]) : 50;
    const long cut = argc > 2 ? atol(argv[2]) : 8;
    if (size <= 0 || cut <= 0) {
        fprintf(stderr, "usage: %s [package MiB] [cut after MiB]\n", argv[0]);
        return 2;
    }
    Appliance a;
    a.install({TestPackage("updater", "1.17-1"), TestPackage("app", "1.0-1")});
    a.writeHook();
    const TestPackage app =
        TestPackage("app", "2.0-1").file("/opt/app/blob", incompressibleText(size << 20));
    a.repo.add({app, TestPackage("updater", "1.17-1")});
    a.publish();
    a.configure();
    const std::string file = a.repo.dir() + "/" + RepoBuilder::rpmLocation(app);
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
        fprintf(stderr, "no package file %s\n", file.c_str());
        return 1;
    }
    HttpServer::Response cutting = HttpServer::Response::fromFile(file);
    cutting.closeAfter = cut << 20;
    a.server->script("/" + RepoBuilder::rpmLocation(app), cutting);

    RunOptions options;
    if (const char* binary = getenv("UPDATER_BENCH_BINARY")) {
        options.program = binary;
    }
    printf("package file %lld bytes, every response cut after %ld MiB\n",
           static_cast<long long>(st.st_size), cut);
    int runs = 0;
    bool installed = false;
    while (!installed && runs < 5) {
        RunResult r = a.update({"--no-reboot"}, options);
        ++runs;
        const Lines rpms = a.installed();
        installed = std::count(rpms.begin(), rpms.end(), "app-2.0-1") == 1;
        printf("run %d: exit %d, %s, server sent %lld bytes so far\n", runs, r.exitCode,
               installed ? "installed" : "not installed", a.server->bytesSent());
        fflush(stdout);
    }
    const long long sent = a.server->bytesSent();
    printf(
        "%s after %d runs; server sent %lld bytes in all, %.3f times the package file "
        "(aim: within 3 runs, at most 1.1)\n",
        installed ? "installed" : "NOT installed", runs, sent,
        static_cast<double>(sent) / static_cast<double>(st.st_size));
    return installed ? 0 : 1;
}
