// Downloads one large file from a local nginx on loopback, through the
// Downloader and through `curl -o`, and prints the wall times, their ratio
// and the peak resident memory of each download. A small file is fetched as
// well, to show that the memory does not grow with the size.
//
//   bench_net_download [size in MiB, default 1024] [scratch directory, default .]
#include <arpa/inet.h>
#include <fcntl.h>
#include <ne_socket.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/downloader.h"

namespace {

struct Measure {
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

uint16_t freePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool accepting(uint16_t port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    close(s);
    return ok;
}

bool writeText(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    fputs(text.c_str(), f);
    return fclose(f) == 0;
}

bool makeFile(const std::string& path, long mebibytes) {
    std::vector<unsigned char> block(1 << 20);
    std::mt19937 random(42);
    for (unsigned char& c : block) {
        c = static_cast<unsigned char>(random());
    }
    FILE* f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    for (long i = 0; i < mebibytes; ++i) {
        block[0] = static_cast<unsigned char>(i);
        fwrite(block.data(), 1, block.size(), f);
    }
    return fclose(f) == 0;
}

// Runs the work in a child process and measures its wall time and peak RSS.
Measure inChild(const std::function<int()>& work) {
    Measure m;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        _exit(work());
    }
    int status = 0;
    struct rusage usage = {};
    wait4(pid, &status, 0, &usage);
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKiB = usage.ru_maxrss;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

Measure viaDownloader(const std::string& base, const std::string& name, const std::string& dest) {
    return inChild([&] {
        ne_sock_init();
        URLFetcher::initialize(NetworkSettings());
        Downloader downloader;
        return downloader.open(base) && downloader.download(name, dest, false) ? 0 : 1;
    });
}

Measure viaCurl(const std::string& url, const std::string& dest) {
    return inChild([&] {
        execlp("curl", "curl", "-s", "-f", "-o", dest.c_str(), url.c_str(),
               static_cast<char*>(nullptr));
        return 127;
    });
}

Measure best(const std::vector<Measure>& runs) {
    Measure result = runs.front();
    for (const Measure& m : runs) {
        result.ok = result.ok && m.ok;
        result.seconds = std::min(result.seconds, m.seconds);
        result.peakKiB = std::max(result.peakKiB, m.peakKiB);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    long size = argc > 1 ? atol(argv[1]) : 1024;
    std::string parent = argc > 2 ? argv[2] : ".";
    std::string dir = parent + "/bench-net.XXXXXX";
    if (size <= 0 || mkdtemp(dir.data()) == nullptr) {
        fprintf(stderr, "usage: %s [MiB > 0] [scratch directory]\n", argv[0]);
        return 2;
    }
    char real[PATH_MAX];
    dir = realpath(dir.c_str(), real);
    mkdir((dir + "/www").c_str(), 0755);
    mkdir((dir + "/temp").c_str(), 0755);
    theLogger().setLevel(LogLevel::Warning);

    const long small = 16;
    printf("creating %ld MiB and %ld MiB files in %s\n", size, small, dir.c_str());
    if (!makeFile(dir + "/www/big.bin", size) || !makeFile(dir + "/www/small.bin", small)) {
        fprintf(stderr, "cannot create the files\n");
        return 1;
    }

    uint16_t port = freePort();
    std::string temp = dir + "/temp";
    writeText(dir + "/nginx.conf",
              "daemon off;\nmaster_process off;\nworker_processes 1;\n"
              "pid " +
                  dir + "/nginx.pid;\nerror_log " + dir +
                  "/error.log;\n"
                  "events { worker_connections 64; }\n"
                  "http {\n  access_log off;\n  sendfile on;\n"
                  "  client_body_temp_path " +
                  temp + ";\n  proxy_temp_path " + temp +
                  ";\n"
                  "  fastcgi_temp_path " +
                  temp + ";\n  uwsgi_temp_path " + temp +
                  ";\n"
                  "  scgi_temp_path " +
                  temp +
                  ";\n"
                  "  server { listen 127.0.0.1:" +
                  std::to_string(port) + "; root " + dir + "/www; }\n}\n");
    pid_t nginx = fork();
    if (nginx == 0) {
        execlp("nginx", "nginx", "-p", dir.c_str(), "-c", (dir + "/nginx.conf").c_str(), "-e",
               (dir + "/error.log").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 250 && !accepting(port); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";

    std::vector<Measure> ours;
    std::vector<Measure> theirs;
    std::vector<Measure> oursSmall;
    const std::string dest = dir + "/out.bin";
    for (int round = 0; round < 3; ++round) {
        ours.push_back(viaDownloader(base, "big.bin", dest));
        unlink(dest.c_str());
        theirs.push_back(viaCurl(base + "big.bin", dest));
        unlink(dest.c_str());
        oursSmall.push_back(viaDownloader(base, "small.bin", dest));
        unlink(dest.c_str());
    }
    kill(nginx, SIGTERM);
    waitpid(nginx, nullptr, 0);

    Measure d = best(ours);
    Measure c = best(theirs);
    Measure s = best(oursSmall);
    printf("%-28s %10s %12s %14s\n", "download (best of 3)", "seconds", "MiB/s", "peak RSS KiB");
    printf("%-28s %10.3f %12.1f %14ld%s\n", ("Downloader " + std::to_string(size) + " MiB").c_str(),
           d.seconds, size / d.seconds, d.peakKiB, d.ok ? "" : "  FAILED");
    printf("%-28s %10.3f %12.1f %14ld%s\n", ("curl -o " + std::to_string(size) + " MiB").c_str(),
           c.seconds, size / c.seconds, c.peakKiB, c.ok ? "" : "  FAILED");
    printf("%-28s %10.3f %12.1f %14ld%s\n",
           ("Downloader " + std::to_string(small) + " MiB").c_str(), s.seconds, small / s.seconds,
           s.peakKiB, s.ok ? "" : "  FAILED");
    printf("speed ratio curl time / Downloader time: %.3f (aim: at least 0.9)\n",
           c.seconds / d.seconds);
    printf("peak RSS %ld MiB vs %ld MiB download: %ld KiB vs %ld KiB\n", size, small, d.peakKiB,
           s.peakKiB);

    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0) {
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
    return d.ok && c.ok && s.ok ? 0 : 1;
}
