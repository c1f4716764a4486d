// The package lists of a repository: the rpm-md "primary" list of RPM packages
// and the device list "vtxdata" of device packages and firmware images, read
// with a streaming reader into Package records.
//
// The architecture test asks the RPM library, so its configuration must have
// been read first (rpmcliInit, or rpmReadConfigFiles in tests and tools).
#pragma once

#include <libxml/tree.h>

#include <string>

#include "repo/package_repo.h"
#include "resolver/package.h"

// Namespaces of the rpm-md format: the repository index, the package elements
// and their direct children, and the RPM-specific data of "rpm" packages.
constexpr const char* kRepoNamespace = "http://linux.duke.edu/metadata/repo";
constexpr const char* kCommonNamespace = "http://linux.duke.edu/metadata/common";
constexpr const char* kRpmNamespace = "http://linux.duke.edu/metadata/rpm";
// The maker's own namespace: the top element of the device list and the
// specific data of "vtxpkg" and "flashedfw" packages.
constexpr const char* kVtxdataNamespace = "http://www.vantorix.com/metadata/vtxdata";

// Outcome of reading one package element.
enum PackageParseResult : int {
    PKG_PARSE_ERROR = -1,    // malformed: the whole list fails
    PKG_PARSE_DROPPED = 0,   // unknown kind or foreign architecture: left out
    PKG_PARSE_ACCEPTED = 1,  // a package to keep
};

// Reads one list file (plain or gzip-compressed) of the given type and appends
// every accepted package to the target. Package files are to be cached in
// cacheDir (which ends in "/"); an empty text leaves m_sCacheFile empty.
bool parsePackageList(const std::string& path, MetadataType type, PackageList& target,
                      const std::string& cacheDir);

// One expanded `package` element of the common namespace.
PackageParseResult parsePackage(xmlNodePtr element, Package& package, const std::string& cacheDir);

// The kind-specific data of a `format` element in the namespace with that URI;
// the label ("rpm", "vtxpkg", "flashedfw") only appears in log lines.
bool parseFormat(xmlNodePtr format, const char* namespaceUri, const char* label, Package& package);

// The `entry` elements among the siblings starting at first, in the namespace
// of the list element that holds them.
bool parseEntries(xmlNodePtr first, xmlNsPtr ns, DependencySet& set);

// The attributes epoch, ver and rel of a `version` or `entry` element.
bool parseVersion(xmlNodePtr element, Evr& evr);
