// Feeds arbitrary files to the configuration reader (Config::load), as the
// configuration file and as the defaults file. The input is written to a file
// first: the reader streams files, as it does in use.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "config/config.h"
#include "support/logger.h"

namespace {

std::string g_sPath;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Every message is formatted, none is written.
    theLogger().setStderr(false);
    theLogger().setLevel(LogLevel::Trace);
    g_sPath = "/tmp/config-fuzz." + std::to_string(getpid()) + ".conf";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(g_sPath.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    fwrite(data, 1, size, file);
    fclose(file);
    for (bool defaultsMode : {false, true}) {
        Config config;
        config.load(g_sPath, defaultsMode);
    }
    unlink(g_sPath.c_str());
    return 0;
}
