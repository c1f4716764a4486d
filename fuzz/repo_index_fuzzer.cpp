// Feeds arbitrary files to the repository index parser, as the cached
// repodata/repomd.xml of a repository.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "config/config.h"
#include "repo/package_repo.h"
#include "support/logger.h"

namespace {

Config g_config;
Repository g_repository;
std::unique_ptr<PackageRepo> g_pRepo;
std::string g_sIndex;

void removeCache() {
    unlink(g_sIndex.c_str());
    rmdir((g_config.m_sCacheDir + "fuzz").c_str());
    rmdir(g_config.m_sCacheDir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    theLogger().setStderr(false);
    theLogger().setLevel(LogLevel::Trace);
    g_config.m_sCacheDir = "/tmp/repo-index-fuzz." + std::to_string(getpid()) + "/";
    g_config.m_bNoMdSigCheck = true;
    g_repository.m_sId = "fuzz";
    g_repository.m_sLocation = "http://127.0.0.1:1/";
    mkdir(g_config.m_sCacheDir.c_str(), 0700);
    mkdir((g_config.m_sCacheDir + "fuzz").c_str(), 0700);
    g_pRepo = std::make_unique<PackageRepo>(g_config, g_repository);
    g_sIndex = g_pRepo->cacheDir() + "repomd.xml";
    atexit(removeCache);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(g_sIndex.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    fwrite(data, 1, size, file);
    fclose(file);
    RepoMdIndex index;
    g_pRepo->parseIndex(index);
    return 0;
}
