// The image of a package list: what parsing an accepted list produced (its
// texts, its packages with their dependency arrays and the messages the parse
// logged), written beside the list in the cache so that later passes and runs
// read it back instead of parsing the XML again. A package read from an image
// holds what a check needs; the rest stays in the image until
// PackageList::complete reads it.
//
// An image is a cache and nothing more: it is bound to the list's checksums,
// the package cache directory and the architectures the parse met, and is
// used only when its header, its size, its hashes, its structure and all of
// these agree.
// Anything else (another format version, a cut or damaged file, the image of
// another list, a link at its name) makes the list be parsed again and the
// image be written anew, so that an image never changes what is read.
#pragma once

#include <cstddef>
#include <string>

#include "package/package.h"
#include "repo/metadata_type.h"
#include "repo/package_list.h"
#include "support/logger.h"

// The format version; part of the file name and of the header.
constexpr unsigned kListImageVersion = 2;

// What an image stands for besides its own bytes.
struct ListImageKey {
    MetadataType m_type = MetadataType::PRIMARY;
    std::string m_sListChecksums;  // the checksums of the list file as its index gives them
    std::string m_sCacheDir;       // where the package files are cached (parsePackageList)
};

// The file name of the image of a list with this checksum value ("primary-
// <value>.v1.image"), or empty when the value is not a hexadecimal digest.
std::string listImageName(MetadataType type, const std::string& checksumValue);
// Whether a name in the cache is that of a list image, of any version.
bool isListImageName(const std::string& name);

// Reads an image held in memory. On success appends its packages to the
// target and gives the recorded messages (not yet logged); on failure leaves
// the target as it was, logs nothing and gives the reason in `why`.
bool readListImage(const unsigned char* data, size_t size, const ListImageKey& key,
                   PackageList& target, Logger::Recording& messages, std::string& why);

// Writes the image of a list's packages under a temporary name and renames
// it to `path`; logs a warning when that fails.
bool writeListImage(const std::string& path, const ListImageKey& key, const PackageList& packages,
                    const ArchVerdicts& archs, const Logger::Recording& messages);

// Reads a list as parsePackageList does, through its image at `imagePath`
// when that is good, else by parsing the list and writing the image. With an
// empty image path, or while the logger is at Trace (whose messages an image
// does not keep), the list is parsed and no image is touched.
bool loadPackageList(const std::string& listPath, const std::string& imagePath,
                     const ListImageKey& key, PackageList& target);
