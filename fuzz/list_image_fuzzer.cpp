// Feeds arbitrary bytes to the package list image reader. The size and the
// CRC-32 in the header are made to fit the input first, so that the fuzzer
// reaches the body instead of stopping at the checksum; the reader must
// still refuse every image it cannot read in full without harm.
//
// Seeds are images of the package list seeds, written by this program when
// LIST_IMAGE_SEEDS names a directory (the lists are its arguments):
//   LIST_IMAGE_SEEDS=DIR list_image_fuzzer fuzz/corpus/package_list/*
#include <rpm/rpmlib.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "repo/package_list_image.h"
#include "support/logger.h"
#include "support/system.h"

namespace {

const ListImageKey kKey{MetadataType::PRIMARY, "checksum sha256 0",
                        "/var/cache/updater/fuzz/packages/"};

// Offsets in the header: the CRC-32, and the file size where it begins.
constexpr size_t kCrcAt = 12, kSizeAt = 16, kHeaderSize = 40;

void makeSeeds(const char* dir, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        PackageList list;
        loadPackageList(argv[i], std::string(dir) + "/" + baseName(argv[i]) + ".image", kKey, list);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    rpmReadConfigFiles(nullptr, nullptr);
    theLogger().setStderr(false);
    theLogger().setLevel(LogLevel::Debug);
    if (const char* dir = getenv("LIST_IMAGE_SEEDS")) {
        makeSeeds(dir, *argc, *argv);
        exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string image(reinterpret_cast<const char*>(data), size);
    if (size >= kHeaderSize) {
        const uint64_t fileSize = size;
        std::memcpy(&image[kSizeAt], &fileSize, sizeof(fileSize));
        const auto crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(image.data()) + kSizeAt,
                  static_cast<uInt>(size - kSizeAt)));
        std::memcpy(&image[kCrcAt], &crc, sizeof(crc));
    }
    PackageList list;
    Logger::Recording messages;
    std::string why;
    if (readListImage(reinterpret_cast<const unsigned char*>(image.data()), image.size(), kKey, list,
                      messages, why)) {
        for (const Package& package : list) {
            packageToString(package);
        }
    }
    return 0;
}
