// File checksums published by repository metadata: the reader of the record
// and the digest check of a file as stored or after decompression. The types
// checked are "sha" and "sha1" (SHA-1), "sha224", "sha256", "sha384" and
// "sha512"; "md5" is refused (with a warning once per process), any other
// type is unsupported. A check of a type that is not checked never matches.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

#include "package/checksum_record.h"

// libxml2's element node (xmlNodePtr); declared here to keep this header light.
struct _xmlNode;

// Reads a "checksum" or "open-checksum" element: attribute "type", element
// text as the value (untrimmed). Leaves the record unchanged on failure.
bool parseChecksum(struct _xmlNode* element, Checksum& checksum);

// Whether the type is one of those above, "md5" included: a check of any
// other type can never match. Logs nothing.
bool isKnownChecksumType(const Checksum& checksum);
// Whether a file checked against these checksums can ever be accepted, as far
// as their types tell: false, logging "unsupported checksum type '%s'" for the
// first, when every checksum given (not empty) is of an unknown type; true
// otherwise, also when none is given (the check itself then fails). A file
// that cannot be accepted is not worth fetching, nor fetching again.
bool hasKnownChecksumType(std::initializer_list<const Checksum*> checksums);

// Digest of the file (decompressed when asked, whatever the compression the
// package lists may have; a file that is not compressed is then read as it
// is) with the algorithm of m_sType.
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
