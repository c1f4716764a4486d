// A generated appliance repository and the device that runs an older part of
// it: package names, versions and dependencies that hang together, the rpm-md
// primary list and index, and the installed packages for the RPM database.
//
// Packages come in source groups of three: a main package, a library
// subpackage providing a soname, and a development or documentation
// subpackage. Libraries and main packages need the library of one earlier
// source; development packages need their main package at the same version.
// A handful of core packages (glibc, bash, python3, the firmware release
// package, updater) provide what every package needs.
//
// The device has the core packages and the first sources installed. Every
// fifth source has a newer release in the repository, and some of those need
// the library of a source the device lacks, whose own needs pull in more.
// Lists are written 1.5 to 2 KB of XML per package, like createrepo_c's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "harness/package_builder.h"

// One dependency entry: name, optional comparison ("EQ", "GE") and version.
struct GenDep {
    std::string m_sName;
    std::string m_sFlags;
    std::string m_sVersion;
    std::string m_sRelease;
};

struct GenPackage {
    std::string m_sName;
    std::string m_sVersion;
    std::string m_sRelease;
    std::string m_sArch;
    std::string m_sGroup;
    std::string m_sSource;  // the source package's name
    std::vector<GenDep> m_vProvides;
    std::vector<GenDep> m_vRequires;
    std::vector<GenDep> m_vRecommends;
    std::vector<GenDep> m_vObsoletes;

    std::string fileName() const;
};

class GeneratedRepo {
public:
    // A repository of `packages` entries and a device with `installed`
    // packages (installed must leave room for at least one source that is
    // not installed).
    GeneratedRepo(size_t packages, size_t installed);

    // The package entries of the primary list, in the order written.
    const std::vector<GenPackage>& available() const { return m_vAvailable; }
    // The device's packages.
    const std::vector<GenPackage>& installed() const { return m_vInstalled; }
    // Number of packages an update must bring: newer installed packages and
    // what their dependencies pull in.
    size_t expectedUpdates() const { return m_nExpectedUpdates; }

    // Writes DIR/repodata/<sha256>-primary.xml.gz and DIR/repodata/repomd.xml
    // with checksum and open-checksum; the path of the list, or empty.
    // xmlBytes, if given, receives the size of the decompressed list.
    std::string write(const std::string& dir, size_t* xmlBytes = nullptr) const;

private:
    std::vector<GenPackage> m_vAvailable;
    std::vector<GenPackage> m_vInstalled;
    size_t m_nExpectedUpdates = 0;
};

// The description the package builder needs to build an installed package.
TestPackage toTestPackage(const GenPackage& package);
