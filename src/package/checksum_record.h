// The checksum record of a package or metadata file, as published.
#pragma once

#include "package/string_pool.h"

// A digest from the metadata. A plain record: it needs no library beyond the
// string pool of the package model.
struct Checksum {
    PooledString m_sValue;  // hexadecimal text as published; empty: no checksum
    PooledString m_sType;   // "sha256", "sha512", ... (repo/checksum.h); others never match
};
