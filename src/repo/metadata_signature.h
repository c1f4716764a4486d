// Authentication of the repository index by its detached OpenPGP signature:
// the public keys of the RPM database go into a temporary keyring and gpgv
// checks the signature against it.
#pragma once

#include <cstdint>
#include <list>
#include <string>

using KeyList = std::list<std::string>;

// Appends the public keys of the RPM database (binary OpenPGP data, database
// order). True when the database could be opened, also when it holds no key.
bool loadMetadataKeys(KeyList& keys);

// Writes the keys, one after the other, into a new file made from
// "/tmp/updater.XXXXXX" (owner-only permissions) and returns its name.
bool writeKeyring(const KeyList& keys, std::string& path);

// True only when gpgv accepts the detached signature of the data file made
// by one of the keys. The temporary keyring is removed on every path.
bool verifyDetachedSignature(const KeyList& keys, const std::string& dataFile,
                             const std::string& signatureFile);

// The creation time (seconds since 1970) that a detached signature file
// gpgv accepted vouches for (documentSignatureTime of its packets, armored
// or binary). False, after "cannot read the signing time of metadata
// signature '%s'", when the file cannot be read or that time not be found.
bool readSignatureTime(const std::string& signatureFile, int64_t& time);
