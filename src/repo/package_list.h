// The package lists of a repository: the rpm-md "primary" list of RPM packages
// and the device list "vtxdata" of device packages and firmware images, read
// with libxml2's SAX2 interface (no tree) into Package records.
//
// The architecture test asks the RPM library, so its configuration must have
// been read first (rpmcliInit, or rpmReadConfigFiles in tests and tools).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "package/package.h"
#include "repo/metadata_type.h"

// Namespaces of the rpm-md format: the repository index, the package elements
// and their direct children, and the RPM-specific data of "rpm" packages.
constexpr const char* kRepoNamespace = "http://linux.duke.edu/metadata/repo";
constexpr const char* kCommonNamespace = "http://linux.duke.edu/metadata/common";
constexpr const char* kRpmNamespace = "http://linux.duke.edu/metadata/rpm";
// The maker's own namespace: the top element of the device list and the
// specific data of "vtxpkg" and "flashedfw" packages.
constexpr const char* kVtxdataNamespace = "http://www.vantorix.com/metadata/vtxdata";

// Outcome of reading one package element.
enum class PackageParseResult : int {
    ERROR = -1,    // malformed: the whole list fails
    DROPPED = 0,   // unknown kind or foreign architecture: left out
    ACCEPTED = 1,  // a package to keep
};

// The architectures a read met, each with whether the RPM library found it
// compatible; complete unless the list named more than kMaxScoredArchs.
constexpr size_t kMaxScoredArchs = 64;
struct ArchVerdicts {
    std::vector<std::pair<std::string, bool>> m_vArchs;
    bool m_bComplete = true;
};

// Reads one list file (plain or gzip-compressed) of the given type and appends
// every accepted package to the target. Entity declarations and references
// (but the five predefined ones) and values longer than kMaxXmlValueLength
// make the list fail. A list that fails leaves the target as it was. Package files are to be cached
// in cacheDir (which ends in "/"); an empty text leaves m_sCacheFile empty.
// A read that succeeds tells the architectures it met in `archs` (if given).
bool parsePackageList(const std::string& path, MetadataType type, PackageList& target,
                      const std::string& cacheDir, ArchVerdicts* archs = nullptr);
