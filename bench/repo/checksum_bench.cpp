// checkFile throughput against `openssl dgst -sha256` on the same file.
//
//   checksum_bench [directory] [size in MiB]   (defaults: ., 1024)
//
// Writes a file of the given size, reads it once to have it cached, then
// times each side three times and prints the best times and their ratio
// (openssl time / checkFile time; 1.0 means as fast as openssl).
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "repo/checksum.h"
#include "support/logger.h"

namespace {

double seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool writeData(const std::string& path, size_t mib) {
    std::vector<char> block(1 << 20);
    std::mt19937_64 rng(1);
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    for (size_t i = 0; i < mib; ++i) {
        for (size_t j = 0; j + 8 <= block.size(); j += 8) {
            uint64_t v = rng();
            memcpy(&block[j], &v, 8);
        }
        if (fwrite(block.data(), 1, block.size(), f) != block.size()) {
            fclose(f);
            return false;
        }
    }
    return fclose(f) == 0;
}

std::string opensslDigest(const std::string& path, double& elapsed) {
    std::string command = "openssl dgst -sha256 -r '" + path + "'";
    auto start = std::chrono::steady_clock::now();
    FILE* p = popen(command.c_str(), "r");
    char line[256] = {};
    if (p == nullptr || fgets(line, sizeof(line), p) == nullptr) {
        if (p != nullptr) {
            pclose(p);
        }
        return "";
    }
    int status = pclose(p);
    elapsed = seconds(start);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "";
    }
    std::string text = line;
    return text.substr(0, text.find(' '));
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : ".";
    size_t mib = argc > 2 ? strtoul(argv[2], nullptr, 10) : 1024;
    std::string path = dir + "/checksum-bench.data";
    printf("writing %zu MiB to %s\n", mib, path.c_str());
    if (!writeData(path, mib)) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    double elapsed = 0;
    std::string digest = opensslDigest(path, elapsed);  // also fills the page cache
    if (digest.size() != 64) {
        fprintf(stderr, "openssl dgst failed\n");
        remove(path.c_str());
        return 1;
    }
    Checksum checksum;
    checksum.m_sType = "sha256";
    checksum.m_sValue = digest;
    double bestOpenssl = 1e9;
    double bestOurs = 1e9;
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        opensslDigest(path, elapsed);
        bestOpenssl = std::min(bestOpenssl, elapsed);
        auto start = std::chrono::steady_clock::now();
        ok = checkFile(checksum, path) && ok;
        bestOurs = std::min(bestOurs, seconds(start));
    }
    remove(path.c_str());
    if (!ok) {
        fprintf(stderr, "checkFile did not match openssl's digest\n");
        return 1;
    }
    double mb = static_cast<double>(mib) * 1048576.0 / 1e6;
    printf("checkFile sha256:     %.3f s  %.0f MB/s\n", bestOurs, mb / bestOurs);
    printf("openssl dgst -sha256: %.3f s  %.0f MB/s\n", bestOpenssl, mb / bestOpenssl);
    printf("ratio (openssl time / checkFile time): %.2f\n", bestOpenssl / bestOurs);
    return 0;
}
