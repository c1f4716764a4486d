// A whole `updater --check-only` run, start-up to exit, on generated
// repositories read through a file: location, against libxml2's own streaming
// parse of the same primary list and, when dnf is installed, against
// `dnf check-update -C` on the same repository and RPM database.
//
//   check_run_bench [work directory] [packages...]
//                   (defaults: ./check-run-bench, 3000 50000)
//
// Makes a sandbox in the work directory (which must not lie under /tmp, /var,
// /etc, /usr, /opt, /dev or /media) with a device of 2,000 installed packages
// recorded with rpm --justdb and a hook script that does nothing. For each
// size it generates a repository (generated_repo.h) and configures it with a
// stderr logger at info. A first check fills the cache and must report the
// expected number of updates (dnf fills its own cache likewise). Then, seven
// times in turn, so that a change in the machine's load touches every side:
// - a check whose metadata comes from the cache (only the index is read
//   again, the list through its image), measured through sandbox-run
//   --rusage: wall time, CPU time and peak resident memory of the updater
//   process;
// - the same check after the list's image was removed: it parses the list
//   and writes the image, as the first check after the list changed does;
// - `zcat LIST | xmllint --stream --noout -` on the cached primary list:
//   wall time, CPU time of both programs and the higher of their peaks;
// - `dnf check-update -C` (when dnf is there) with the sandbox's RPM database;
// - parsePackageList (and the sort of the list) on the cached primary list in
//   a fresh process of this program (--parse-only FILE): its CPU time; and
//   the same parse with the image written (--parse-and-image FILE IMAGE).
// Prints medians, best and worst times, the highest peaks and the ratios of
// the medians, with the aims for 50,000 packages: check wall time at most
// half of dnf's, peak at most 30 MiB, the parse with the image written at
// most 10 % above the parse alone. The work
// directory is removed at the end unless UPDATER_KEEP_SANDBOXES is set;
// UPDATER_BENCH_BINARY names another updater binary to measure.
#include <rpm/rpmlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "generated_repo.h"
#include "harness/command.h"
#include "harness/package_builder.h"
#include "harness/sandbox.h"
#include "repo/package_list.h"
#include "repo/package_list_image.h"
#include "support/logger.h"

namespace {

constexpr size_t kInstalled = 2000;
constexpr int kRounds = 7;
constexpr const char* kRepoId = "main";

struct RunFigures {
    bool m_bOk = false;
    double m_nWall = 0;
    double m_nCpu = 0;
    long m_nMaxRssKiB = 0;
    std::string m_sErr;
    std::string m_sResult;
};

struct ParseFigures {
    bool m_bOk = false;
    double m_nCpu = 0;
    double m_nWall = 0;
    long m_nMaxRssKiB = 0;
    size_t m_nPackages = 0;
};

// Wall time, CPU time and peak resident memory of a program and the children
// it waited for.
struct ProcFigures {
    bool m_bOk = false;
    double m_nWall = 0;
    double m_nCpu = 0;
    long m_nMaxRssKiB = 0;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double cpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

double rusageField(const std::string& text, const std::string& key) {
    for (const std::string& line : splitLines(text)) {
        if (line.compare(0, key.size() + 1, key + " ") == 0) {
            return atof(line.c_str() + key.size() + 1);
        }
    }
    return -1;
}

// One `updater --check-only` in the sandbox.
RunFigures checkRun(const std::string& sandbox) {
    RunFigures figures;
    // UPDATER_BENCH_BINARY measures another build of the program (an older
    // one, for figures before a change).
    const char* binary = getenv("UPDATER_BENCH_BINARY");
    CommandResult r = runCommand({Sandbox::runnerBinary(), "--rusage", "--timeout", "600", sandbox,
                                  "--", binary != nullptr ? binary : Sandbox::updaterBinary(),
                                  "--check-only", "--no-md-sig-check"});
    figures.m_sResult = trimmed(readHostFile(sandbox + "/out/result"));
    figures.m_sErr = readHostFile(sandbox + "/out/stderr");
    std::string usage = readHostFile(sandbox + "/out/rusage");
    figures.m_nWall = rusageField(usage, "wall");
    figures.m_nCpu = rusageField(usage, "user") + rusageField(usage, "system");
    figures.m_nMaxRssKiB = static_cast<long>(rusageField(usage, "maxrss"));
    figures.m_bOk = r.status == 0 && figures.m_sResult == "exited 0" && figures.m_nWall >= 0;
    if (r.status != 0) {
        figures.m_sResult += " (sandbox-run: " + r.output + ")";
    }
    return figures;
}

// Runs argv (with HOME set when home is not empty; output discarded) and
// measures it with wait4. okStatus lists the exit codes that mean success.
ProcFigures runMeasured(const std::vector<std::string>& argv, const std::string& home,
                        std::vector<int> okStatus = {0}) {
    ProcFigures figures;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!home.empty()) {
            setenv("HOME", home.c_str(), 1);
        }
        FILE* null = freopen("/dev/null", "w", stdout);
        null = freopen("/dev/null", "w", stderr);
        (void)null;
        execArgv(argv);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) {
        return figures;
    }
    figures.m_nWall = secondsSince(start);
    figures.m_nCpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    figures.m_nMaxRssKiB = usage.ru_maxrss;
    figures.m_bOk = WIFEXITED(status) && std::find(okStatus.begin(), okStatus.end(),
                                                   WEXITSTATUS(status)) != okStatus.end();
    return figures;
}

ProcFigures xmllintRun(const std::string& list) {
    return runMeasured({"/bin/sh", "-c", "zcat '" + list + "' | xmllint --stream --noout -"}, "");
}

bool haveDnf() {
    return runCommand({"/bin/sh", "-c", "command -v dnf"}).status == 0;
}

// A dnf configuration of its own in the work directory: the generated
// repository, no plugins, no signature checks; the RPM database is the
// sandbox's (through HOME's .rpmmacros).
std::vector<std::string> dnfCommand(const std::string& work, const std::string& repoDir,
                                    const std::vector<std::string>& what) {
    const std::string dir = work + "/dnf";
    makeDirs(dir + "/repos.d");
    writeHostFile(dir + "/dnf.conf",
                  "[main]\ngpgcheck=0\ninstall_weak_deps=0\n"
                  "cachedir=" +
                      dir + "/cache\npersistdir=" + dir + "/persist\nlogdir=" + dir +
                      "/log\nreposdir=" + dir + "/repos.d\n");
    writeHostFile(dir + "/repos.d/bench.repo",
                  "[bench]\nname=bench\nbaseurl=file://" + repoDir + "\ngpgcheck=0\n");
    std::vector<std::string> argv = {"dnf", "--config=" + dir + "/dnf.conf", "--releasever=1",
                                     "--disableplugin=*", "--quiet"};
    argv.insert(argv.end(), what.begin(), what.end());
    return argv;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// "median (best to worst)" of a series of times.
std::string spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    char text[96];
    snprintf(text, sizeof(text), "median %.2f s (%.2f to %.2f)", median(values), values.front(),
             values.back());
    return text;
}

// The number in "--- N UPDATE(S) ---", or -1.
long reportedUpdates(const std::string& err) {
    size_t end = err.find(" UPDATE(S) ---");
    size_t begin = end == std::string::npos ? end : err.rfind("--- ", end);
    return begin == std::string::npos ? -1 : atol(err.c_str() + begin + 4);
}

// parsePackageList on the list and the sort of the result, as the first
// look-up of a run does it, or with an image path the same through
// loadPackageList (no image there: the list is parsed and the image
// written); prints "ok CPU wall peak-KiB packages".
int parseOnlyMain(const std::string& path, const std::string& image) {
    theLogger().setLevel(LogLevel::Error);
    if (rpmReadConfigFiles(nullptr, nullptr) != 0) {
        return 1;
    }
    double cpu = cpuSeconds();
    auto start = std::chrono::steady_clock::now();
    PackageList list;
    const std::string packagesDir = std::string("/var/cache/updater/") + kRepoId + "/packages/";
    bool ok = image.empty()
                  ? parsePackageList(path, MetadataType::PRIMARY, list, packagesDir)
                  : loadPackageList(path, image,
                                    ListImageKey{MetadataType::PRIMARY, "bench", packagesDir}, list);
    list.count("glibc");
    double wall = secondsSince(start);
    cpu = cpuSeconds() - cpu;
    long peak = 0;
    for (const std::string& line : splitLines(readHostFile("/proc/self/status"))) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            peak = atol(line.c_str() + 6);
        }
    }
    printf("%d %.6f %.6f %ld %zu\n", ok ? 1 : 0, cpu, wall, peak, list.size());
    return ok ? 0 : 1;
}

// The parse in a fresh process of this program, as the updater has it.
ParseFigures parseOnly(const std::string& path, const std::string& image = "") {
    ParseFigures figures;
    unlink(image.c_str());
    CommandResult r = runCommand(image.empty()
                                     ? std::vector<std::string>{"/proc/self/exe", "--parse-only", path}
                                     : std::vector<std::string>{"/proc/self/exe", "--parse-and-image",
                                                                path, image});
    unlink(image.c_str());
    int ok = 0;
    if (r.status == 0 &&
        sscanf(r.output.c_str(), "%d %lf %lf %ld %zu", &ok, &figures.m_nCpu, &figures.m_nWall,
               &figures.m_nMaxRssKiB, &figures.m_nPackages) == 5) {
        figures.m_bOk = ok == 1;
    }
    return figures;
}

long long mtimeNs(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return -1;
    }
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string configXml(const std::string& repoDir) {
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<updater>\n"
               "  <log level=\"info\"><logger type=\"stderr\"/></log>\n"
               "  <repository id=\"") +
           kRepoId +
           "\"><name>Appliance updates</name>"
           "<location href=\"file://" +
           repoDir +
           "\"/></repository>\n"
           "  <product><name>bench-player</name><packages>\n"
           "    <release><package><name>player-release</name></package></release>\n"
           "    <repo-required><package><name>player-release</name></package></repo-required>\n"
           "  </packages></product>\n"
           "</updater>\n";
}

struct Row {
    size_t m_nPackages = 0;
    std::vector<double> m_vCheckWall, m_vCheckCpu, m_vLintWall, m_vLintCpu, m_vDnfWall, m_vDnfCpu,
        m_vParseCpu, m_vParseImageCpu, m_vParsedWall, m_vParsedCpu;
    long m_nPeakKiB = 0;
    long m_nParsedPeakKiB = 0;
    long m_nLintPeakKiB = 0;
    long m_nDnfPeakKiB = 0;
};

void fail(const std::string& what, const RunFigures& run) {
    fprintf(stderr, "%s: %s\n%s\n", what.c_str(), run.m_sResult.c_str(), run.m_sErr.c_str());
    exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--parse-only") == 0) {
        return parseOnlyMain(argv[2], "");
    }
    if (argc == 4 && strcmp(argv[1], "--parse-and-image") == 0) {
        return parseOnlyMain(argv[2], argv[3]);
    }
    std::string work = argc > 1 ? argv[1] : "check-run-bench";
    std::vector<size_t> sizes;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(strtoul(argv[i], nullptr, 10));
    }
    if (sizes.empty()) {
        sizes = {3000, 50000};
    }
    char cwd[4096];
    if (work[0] != '/') {
        work = std::string(getcwd(cwd, sizeof(cwd))) + "/" + work;
    }
    removeTree(work);
    makeDirs(work);
    const std::string sandbox = work + "/sandbox";
    CommandResult init = runCommand({Sandbox::runnerBinary(), "--init", sandbox});
    if (init.status != 0) {
        fprintf(stderr, "cannot make the sandbox: %s", init.output.c_str());
        return 1;
    }
    makeDirs(sandbox + "/root/usr/share/resources/default/updater");
    writeHostFile(sandbox + "/root/usr/share/resources/default/updater/defaults.conf",
                  "<updater/>\n");
    // The site hook of a device, doing nothing.
    makeDirs(sandbox + "/root/usr/libexec/updater");
    writeHostFile(sandbox + "/root/usr/libexec/updater/hook", "#!/bin/sh\nexit 0\n", 0755);

    // The device: the installed packages are the same for every size.
    auto start = std::chrono::steady_clock::now();
    GeneratedRepo device(sizes.front(), kInstalled);
    std::vector<TestPackage> installed;
    for (const GenPackage& p : device.installed()) {
        installed.push_back(toTestPackage(p));
    }
    PackageBuilder builder(work + "/build");
    std::vector<std::string> files = builder.build(installed, work + "/installed-rpms");
    if (files.size() != installed.size() || !initRpmDb(sandbox + "/rpmdb") ||
        !installJustDb(sandbox + "/rpmdb", files)) {
        fprintf(stderr, "cannot make the RPM database\n");
        return 1;
    }
    removeTree(work + "/build");
    removeTree(work + "/installed-rpms");
    printf("device: %zu installed packages built and recorded in %.1f s\n", files.size(),
           secondsSince(start));
    fflush(stdout);

    const std::string cacheDir = sandbox + "/root/var/cache/updater/" + kRepoId;
    std::vector<Row> rows;
    for (size_t size : sizes) {
        Row row;
        row.m_nPackages = size;
        start = std::chrono::steady_clock::now();
        GeneratedRepo repo(size, kInstalled);
        const std::string repoDir = work + "/repo-" + std::to_string(size);
        size_t xmlBytes = 0;
        std::string list = repo.write(repoDir, &xmlBytes);
        if (list.empty()) {
            fprintf(stderr, "cannot write the repository in %s\n", repoDir.c_str());
            return 1;
        }
        printf("repository of %zu packages: list of %.1f MiB (%.1f MiB gzip), written in %.1f s\n",
               repo.available().size(), xmlBytes / 1048576.0, fileSize(list) / 1048576.0,
               secondsSince(start));

        writeHostFile(sandbox + "/root/etc/updater.conf", configXml(repoDir));
        RunFigures fill = checkRun(sandbox);
        if (!fill.m_bOk) {
            fail("the first check failed", fill);
        }
        long updates = reportedUpdates(fill.m_sErr);
        printf("  first check (fills the cache): %.2f s, %ld updates reported, %zu expected%s\n",
               fill.m_nWall, updates, repo.expectedUpdates(),
               updates == static_cast<long>(repo.expectedUpdates()) ? "" : "  <-- MISMATCH");
        fflush(stdout);

        const std::string cached = cacheDir + "/primary.xml.gz";
        const long long cachedTime = mtimeNs(cached);
        const bool dnf = haveDnf();
        if (dnf) {
            ProcFigures fillDnf =
                runMeasured(dnfCommand(work, repoDir, {"makecache"}), sandbox + "/home");
            printf("  dnf makecache: %.2f s%s\n", fillDnf.m_nWall,
                   fillDnf.m_bOk ? "" : "  <-- FAILED");
        } else {
            printf("  dnf is not installed: no comparison with dnf check-update\n");
        }
        fflush(stdout);
        for (int round = 0; round < kRounds; ++round) {
            RunFigures run = checkRun(sandbox);
            if (!run.m_bOk) {
                fail("a measured check failed", run);
            }
            if (reportedUpdates(run.m_sErr) != updates) {
                fail("a measured check reported another number of updates", run);
            }
            row.m_vCheckWall.push_back(run.m_nWall);
            row.m_vCheckCpu.push_back(run.m_nCpu);
            row.m_nPeakKiB = std::max(row.m_nPeakKiB, run.m_nMaxRssKiB);

            runShell("rm -f '" + cacheDir + "'/*.image");
            RunFigures parsed = checkRun(sandbox);
            if (!parsed.m_bOk || reportedUpdates(parsed.m_sErr) != updates) {
                fail("a check without the image failed", parsed);
            }
            row.m_vParsedWall.push_back(parsed.m_nWall);
            row.m_vParsedCpu.push_back(parsed.m_nCpu);
            row.m_nParsedPeakKiB = std::max(row.m_nParsedPeakKiB, parsed.m_nMaxRssKiB);

            ProcFigures lint = xmllintRun(cached);
            if (!lint.m_bOk) {
                fprintf(stderr, "xmllint failed on %s\n", cached.c_str());
                return 1;
            }
            row.m_vLintWall.push_back(lint.m_nWall);
            row.m_vLintCpu.push_back(lint.m_nCpu);
            row.m_nLintPeakKiB = std::max(row.m_nLintPeakKiB, lint.m_nMaxRssKiB);

            if (dnf) {
                // Exit code 100: updates are available.
                ProcFigures check = runMeasured(dnfCommand(work, repoDir, {"-C", "check-update"}),
                                                sandbox + "/home", {100});
                if (check.m_bOk) {
                    row.m_vDnfWall.push_back(check.m_nWall);
                    row.m_vDnfCpu.push_back(check.m_nCpu);
                    row.m_nDnfPeakKiB = std::max(row.m_nDnfPeakKiB, check.m_nMaxRssKiB);
                }
            }

            ParseFigures parse = parseOnly(cached);
            if (!parse.m_bOk) {
                fprintf(stderr, "parsePackageList failed on %s\n", cached.c_str());
                return 1;
            }
            row.m_vParseCpu.push_back(parse.m_nCpu);
            ParseFigures parseImage = parseOnly(cached, work + "/bench.image");
            if (!parseImage.m_bOk) {
                fprintf(stderr, "loadPackageList failed on %s\n", cached.c_str());
                return 1;
            }
            row.m_vParseImageCpu.push_back(parseImage.m_nCpu);
        }
        if (mtimeNs(cached) != cachedTime) {
            printf("  note: the cached list was fetched again during the measured checks\n");
        }
        printf("  updater check wall:      %s, CPU %s, peak %.1f MiB\n",
               spread(row.m_vCheckWall).c_str(), spread(row.m_vCheckCpu).c_str(),
               row.m_nPeakKiB / 1024.0);
        printf("  check, image removed:    %s, CPU %s, peak %.1f MiB\n",
               spread(row.m_vParsedWall).c_str(), spread(row.m_vParsedCpu).c_str(),
               row.m_nParsedPeakKiB / 1024.0);
        printf("  zcat | xmllint --stream: %s, CPU %s\n", spread(row.m_vLintWall).c_str(),
               spread(row.m_vLintCpu).c_str());
        if (!row.m_vDnfWall.empty()) {
            printf("  dnf check-update -C:     %s, CPU %s\n", spread(row.m_vDnfWall).c_str(),
                   spread(row.m_vDnfCpu).c_str());
        } else if (dnf) {
            printf("  dnf check-update -C failed\n");
        }
        printf("  parse-only CPU:          %s\n", spread(row.m_vParseCpu).c_str());
        printf("  parse, image written:    %s (%.2f of the parse alone)\n",
               spread(row.m_vParseImageCpu).c_str(),
               median(row.m_vParseImageCpu) / median(row.m_vParseCpu));
        fflush(stdout);
        rows.push_back(row);
    }

    printf(
        "\n`updater --check-only` with metadata from the cache, %zu installed packages, against "
        "`zcat | xmllint --stream --noout -` on its primary list\n(medians of %d runs in turn; "
        "peaks: highest of them)\n\n",
        kInstalled, kRounds);
    printf("%9s  %10s  %9s  %9s  %11s  %10s  %10s  %9s  %9s  %9s  %10s  %11s  %11s\n", "packages",
           "check wall", "check CPU", "peak RSS", "xmllint wall", "xmllint CPU", "wall ratio",
           "CPU ratio", "dnf wall", "dnf peak", "dnf ratio", "parsed wall", "parsed peak");
    for (const Row& row : rows) {
        const double wall = median(row.m_vCheckWall);
        const double cpu = median(row.m_vCheckCpu);
        const double lintWall = median(row.m_vLintWall);
        const double lintCpu = median(row.m_vLintCpu);
        printf("%9zu  %8.2f s  %7.2f s  %5.1f MiB  %9.2f s  %8.2f s  %10.2f  %9.2f",
               row.m_nPackages, wall, cpu, row.m_nPeakKiB / 1024.0, lintWall, lintCpu,
               wall / lintWall, cpu / lintCpu);
        if (!row.m_vDnfWall.empty()) {
            const double dnfWall = median(row.m_vDnfWall);
            printf("  %7.2f s  %5.1f MiB  %10.2f", dnfWall, row.m_nDnfPeakKiB / 1024.0,
                   wall / dnfWall);
        } else {
            printf("  %9s  %9s  %10s", "-", "-", "-");
        }
        printf("  %9.2f s  %7.1f MiB\n", median(row.m_vParsedWall), row.m_nParsedPeakKiB / 1024.0);
    }
    printf(
        "\nratios: the check's median over the other's median (below 1: the check is faster); "
        "parsed: the check after its list image was removed.\nAims for 50,000 packages: dnf ratio "
        "at most 0.5, peak RSS at most 30 MiB, parse with the image written at most 1.10 of the "
        "parse alone.\n");
    if (getenv("UPDATER_KEEP_SANDBOXES") == nullptr) {
        removeTree(work);
    }
    return 0;
}
