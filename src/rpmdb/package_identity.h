// Whether a downloaded package file is the package its list entry names.
// The checksum and the signature only prove that the file is the one the
// list points to and that the site signed it: with a list that can be
// changed (no index signature check, as on some USB media) another package
// signed by the same key would pass both. The header's name, epoch,
// version, release and architecture must therefore equal the entry's.
#pragma once

#include <rpm/header.h>

#include <string>

#include "package/package.h"
#include "rpmdb/rpm_db.h"

// True when the header names the listed package; otherwise logs a refusal
// naming both. fileName is the package file named in messages.
bool headerMatchesPackage(Header header, const Package& listed, const std::string& fileName);

// The header of a package file, read without verifying any signature or
// digest and without opening the database (for runs that do not check
// package signatures); null, and one Error line, when there is none.
RpmHeaderPtr readPackageHeader(const std::string& path);
