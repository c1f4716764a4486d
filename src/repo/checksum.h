// File checksums published by repository metadata: the record, its reader,
// and the digest check of a file as stored or after gzip decompression.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "resolver/string_pool.h"

// A digest from the metadata. A plain record: it needs no library beyond the
// string pool of the package model.
struct Checksum {
    PooledString m_sValue;  // hexadecimal text as published; empty: no checksum
    PooledString m_sType;   // "sha" (SHA-1) or "sha256"; "md5" and others never match
};

// libxml2's element node (xmlNodePtr); declared here to keep this header light.
struct _xmlNode;

// Reads a "checksum" or "open-checksum" element: attribute "type", element
// text as the value (untrimmed). Leaves the record unchanged on failure.
bool parseChecksum(struct _xmlNode* element, Checksum& checksum);

// Digest of the file (decompressed through zlib when asked; a file that is not
// gzip-compressed is then read as it is) with the algorithm of m_sType.
bool checksumFile(const Checksum& checksum, const std::string& path, bool decompress,
                  std::vector<unsigned char>& digest);

// The file as stored, or its decompressed content, matches the checksum
// (exact comparison with the lower-case hexadecimal digest).
bool checkFile(const Checksum& checksum, const std::string& path);
bool checkUncompressedFile(const Checksum& checksum, const std::string& path);

// Lower-case hexadecimal, two digits per byte, high nibble first.
std::string toHex(const void* data, size_t size);
inline std::string toHex(const std::vector<unsigned char>& bytes) {
    return toHex(bytes.data(), bytes.size());
}
