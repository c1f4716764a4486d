// Feeds arbitrary bytes to the package list image reader, and completes every
// package it reads. The size and the hashes in the header are made to fit the
// input first, so that the fuzzer reaches the body instead of stopping at the
// checksum; the reader must still refuse every image it cannot read in full
// without harm.
//
// Seeds are images of the package list seeds, written by this program when
// LIST_IMAGE_SEEDS names a directory (the lists are its arguments):
//   LIST_IMAGE_SEEDS=DIR list_image_fuzzer fuzz/corpus/package_list/*
#include <rpm/rpmlib.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
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

// Offsets in the header: the hashes of the hot and the cold part, the version
// (where the hot part's hash begins), the file size and the cold part's offset.
constexpr size_t kHashAt = 8, kVersionAt = 24, kSizeAt = 32, kColdAt = 60, kHeaderSize = 64;

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
        uint32_t coldAt;
        std::memcpy(&coldAt, &image[kColdAt], sizeof(coldAt));
        const size_t cold = std::min<size_t>(std::max<size_t>(coldAt, kHeaderSize), size);
        const uint64_t body = XXH3_64bits(image.data() + kHeaderSize, cold - kHeaderSize);
        const uint64_t hashes[2] = {
            XXH3_64bits_withSeed(image.data() + kVersionAt, kHeaderSize - kVersionAt, body),
            XXH3_64bits(image.data() + cold, size - cold)};
        std::memcpy(&image[kHashAt], hashes, sizeof(hashes));
    }
    PackageList list;
    Logger::Recording messages;
    std::string why;
    if (readListImage(reinterpret_cast<const unsigned char*>(image.data()), image.size(), kKey, list,
                      messages, why)) {
        for (const Package& package : list) {
            packageToString(list.complete(package));
        }
    }
    return 0;
}
