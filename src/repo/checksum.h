// File checksums published by repository metadata: the reader of the record
// and the digest check of a file as stored or after gzip decompression.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "package/checksum_record.h"

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
