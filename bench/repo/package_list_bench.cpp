// parsePackageList on a large primary list against the streaming reader of
// xmllint on the same file.
//
//   package_list_bench [packages [FILE]]   (default 50000; FILE: a list to
//                                           read instead of a generated one)
//
// Generates the list (gen_primary_list's layout) unless a file is given, and
// reads it compressed with gzip, zstd and xz in turn; for each it prints the
// CPU time of parsePackageList, the CPU time of
// `DECOMPRESS FILE | xmllint --stream --noout -` and their ratio (aim: at
// most 2), and the peak resident memory of the parse including the
// resulting PackageList (aim: at most 60 MiB for 50,000 packages).
#include <rpm/rpmlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "primary_list_gen.h"
#include "repo/package_list.h"
#include "support/logger.h"

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

double cpuSeconds(int who) {
    struct rusage usage;
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double wallSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs a shell command and waits for it (and thereby for its children).
bool runShell(const std::string& command) {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// Parses the list and runs the reference on it; prints both. In a child of
// its own, so that each list's peak is its own.
bool measure(const std::string& path, const char* decompress) {
    pid_t pid = fork();
    if (pid != 0) {
        int status = 0;
        return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }
    const long before = statusKiB("VmRSS:");
    double cpu = cpuSeconds(RUSAGE_SELF);
    auto start = std::chrono::steady_clock::now();
    PackageList list;
    bool ok =
        parsePackageList(path, MetadataType::PRIMARY, list, "/var/cache/updater/main/packages/");
    size_t found = list.count("libpkg0");  // sorts the list
    double parseWall = wallSince(start);
    double parseCpu = cpuSeconds(RUSAGE_SELF) - cpu;
    const long after = statusKiB("VmRSS:");
    const long peak = statusKiB("VmHWM:");
    if (!ok) {
        fprintf(stderr, "parsePackageList failed on %s\n", path.c_str());
        _exit(1);
    }

    double childCpu = cpuSeconds(RUSAGE_CHILDREN);
    start = std::chrono::steady_clock::now();
    if (!runShell(std::string(decompress) + " < '" + path + "' | xmllint --stream --noout -")) {
        fprintf(stderr, "xmllint failed on %s\n", path.c_str());
        _exit(1);
    }
    double refWall = wallSince(start);
    double refCpu = cpuSeconds(RUSAGE_CHILDREN) - childCpu;

    string_pool::Stats pool = string_pool::stats();
    printf("list: %s (%zu packages read, libpkg0 entries: %zu)\n", path.c_str(), list.size(),
           found);
    printf("parsePackageList:           %.2f s CPU, %.2f s wall\n", parseCpu, parseWall);
    printf("%s | xmllint --stream: %.2f s CPU, %.2f s wall\n", decompress, refCpu, refWall);
    printf("CPU ratio: %.2f (aim: at most 2)\n", parseCpu / refCpu);
    printf("string pool: %zu texts, %.1f MiB of text in %.1f MiB of chunks, table %.1f MiB\n",
           pool.m_nStrings, pool.m_nTextBytes / 1048576.0, pool.m_nChunkBytes / 1048576.0,
           pool.m_nTableBytes / 1048576.0);
    printf("resident set: %.1f MiB before, %.1f MiB after; peak %.1f MiB (aim: at most 60 MiB)\n",
           before / 1024.0, after / 1024.0, peak / 1024.0);
    fflush(stdout);
    _exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    size_t count = argc > 1 ? strtoul(argv[1], nullptr, 10) : 50000;
    theLogger().setLevel(LogLevel::Error);
    if (rpmReadConfigFiles(nullptr, nullptr) != 0) {
        fprintf(stderr, "cannot read the rpm configuration\n");
        return 1;
    }
    if (argc > 2) {
        return measure(argv[2], "gzip -dcf") ? 0 : 1;
    }

    char pattern[] = "/tmp/primary-bench.XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) {
        perror("mkstemp");
        return 1;
    }
    close(fd);
    const std::string path = pattern;
    // In a child, so that the generator's memory does not count below.
    pid_t pid = fork();
    if (pid == 0) {
        _exit(writePrimaryList(path, count) ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || status != 0) {
        fprintf(stderr, "cannot generate %s\n", path.c_str());
        return 1;
    }
    // The same list as publishing tools also compress it: zstd and xz at
    // their default levels, as createrepo_c writes them.
    struct Compression {
        const char* name;
        std::string file;
        const char* decompress;
        const char* recompress;
    } compressions[] = {{"gzip", path, "gzip -dcf", nullptr},
                        {"zstd", path + ".zst", "zstd -dc", "zstd -q -c"},
                        {"xz", path + ".xz", "xz -dc", "xz -c"}};
    bool ok = true;
    for (const Compression& c : compressions) {
        if (c.recompress != nullptr &&
            !runShell("gzip -dc < '" + path + "' | " + c.recompress + " > '" + c.file + "'")) {
            fprintf(stderr, "cannot make the %s list\n", c.name);
            ok = false;
            continue;
        }
        struct stat st;
        printf("== %s, %.1f MiB\n", c.name,
               stat(c.file.c_str(), &st) == 0 ? st.st_size / 1048576.0 : 0.0);
        fflush(stdout);
        ok = measure(c.file, c.decompress) && ok;
    }
    for (const Compression& c : compressions) {
        unlink(c.file.c_str());
    }
    return ok ? 0 : 1;
}
