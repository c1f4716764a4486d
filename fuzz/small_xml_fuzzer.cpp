// Feeds arbitrary files to the small XML readers of the device's own
// configuration: the configuration file, the proxy file and the network
// credentials file.
#include <ne_uri.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/config.h"
#include "net/credential_store.h"
#include "net/url_fetcher.h"
#include "support/logger.h"

namespace {

std::string g_sPath;

void removeInput() {
    unlink(g_sPath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    theLogger().setStderr(false);
    theLogger().setLevel(LogLevel::Trace);
    g_sPath = "/tmp/small-xml-fuzz." + std::to_string(getpid()) + ".xml";
    atexit(removeInput);
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

    NetworkSettings network;
    loadProxyFile(g_sPath, network);

    for (const char* server : {"https://updates.example.com/", "http://10.0.0.1:8080/"}) {
        ParsedUri uri;
        if (uri.parse(server)) {
            CredentialStore store(uri.get());
            store.loadFile(g_sPath);
            while (store.nextMatch("updates", "/repo/repodata/repomd.xml") != nullptr) {
            }
        }
    }
    return 0;
}
