// Feeds arbitrary files to parsePackageList, as a primary list and as a
// device list. The input is written to a file first: the parser reads files
// (plain or gzip-compressed) through the streaming reader, as it does in use.
#include <rpm/rpmlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "repo/package_list.h"
#include "support/logger.h"

namespace {

std::string g_sPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    rpmReadConfigFiles(nullptr, nullptr);
    // Every message is formatted, none is written.
    theLogger().setStderr(false);
    theLogger().setLevel(LogLevel::Trace);
    g_sPath = "/tmp/package-list-fuzz." + std::to_string(getpid()) + ".xml";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(g_sPath.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    fwrite(data, 1, size, file);
    fclose(file);
    for (MetadataType type : {MetadataType::PRIMARY, MetadataType::VTXDATA}) {
        PackageList list;
        parsePackageList(g_sPath, type, list, "/var/cache/updater/fuzz/packages/");
    }
    unlink(g_sPath.c_str());
    return 0;
}
