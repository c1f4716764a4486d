// The signature check of downloaded RPM package files: the RPM library
// verifies the header signature against the database's keys, then the
// signature must be an OpenPGP version 4 one by a trusted key. The RSA header
// signature is tried first, then the DSA one.
#pragma once

#include <rpm/header.h>
#include <rpm/rpmtag.h>

#include <string>

#include "rpmdb/rpm_db.h"

// True when one header signature of the package file is acceptable. quiet
// only lowers the "checking signature" line from info to debug. The header
// whose signature was accepted goes to checked when it is given.
bool checkPackageSignature(RpmDB& db, const std::string& path, bool quiet,
                           RpmHeaderPtr* checked = nullptr);

// Whether the header's signature in the tag (label "RSA" or "DSA") is a
// version 4 signature by a trusted key. name is the package named in messages.
bool checkHeaderSignature(RpmDB& db, Header header, rpmTagVal tag, const char* label,
                          const std::string& name, bool quiet);
