// Real rpm-md repositories for tests: RepoBuilder builds RPM packages from
// TestPackage descriptions, indexes them with createrepo_c, and adds the
// device list of "vtxpkg" and "flashedfw" packages (type "vtxdata") with
// modifyrepo_c. The directory can be served by HttpServer or read through a
// file: location. It also breaks repositories on purpose.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/package_builder.h"

// A device package ("vtxpkg") or firmware image ("flashedfw") of the device list.
struct DevicePackage : PackageDescription<DevicePackage> {
    static constexpr const char* kSuffix = ".vtx";
    std::string m_sType = "vtxpkg";
    std::string m_sContent;  // the package file's content
    bool m_bHasFile = true;  // false: no file, no location and no checksum
    int64_t m_nInstalledSize = 0;

    DevicePackage() = default;
    // type "vtxpkg" or "flashedfw".
    explicit DevicePackage(std::string name, std::string_view evr = "1.0-1",
                           std::string type = "vtxpkg")
        : PackageDescription(std::move(name), evr, "noarch"),
          m_sType(std::move(type)),
          m_sContent("device package " + m_sName + "-" + m_sVersion + "-" + m_sRelease + "\n") {}

    DevicePackage& content(std::string content) { return set(m_sContent, std::move(content)); }
    DevicePackage& installedSize(int64_t size) {
        m_nInstalledSize = size;
        return *this;
    }
    // Listed without location and checksum (only sensible for "flashedfw").
    DevicePackage& noFile() {
        m_bHasFile = false;
        return *this;
    }
    std::string location() const { return "vtxpkg/" + fileName(); }
};

// The <package> element of a device package, as the device list holds it,
// with the checksum of its file in that type.
std::string devicePackageXml(const DevicePackage& package,
                             const std::string& checksumType = "sha256");
// A whole device list; extra text goes inside the top element after the packages.
std::string deviceListXml(const std::vector<DevicePackage>& packages,
                          const std::string& extra = "",
                          const std::string& checksumType = "sha256");
// A primary list (rpm-md common and rpm namespaces) around package elements.
std::string primaryListXml(const std::string& packages);

// Digests in the metadata's checksum types ("sha"/"sha1", "sha224", ...,
// "sha512"), by coreutils.
std::string digestOfFile(const std::string& type, const std::string& path);
std::string digestOfText(const std::string& type, const std::string& text);
inline std::string sha256OfFile(const std::string& path) { return digestOfFile("sha256", path); }
inline std::string sha256OfText(const std::string& text) { return digestOfText("sha256", text); }
// The text compressed by the program of a compression: "gz" (gzip), "zstd",
// "xz", "bz2" (bzip2); the file name extension of a compression.
std::string compressText(const std::string& text, const std::string& compression);
std::string compressionExtension(const std::string& compression);
inline std::string gzipText(const std::string& text) { return compressText(text, "gz"); }
// A deterministic text that gzip cannot shrink: a package file carrying it is
// as large as the text.
std::string incompressibleText(size_t size);

class RepoBuilder {
public:
    struct Options {
        bool m_bCompress = true;      // compressed lists (else plain XML)
        bool m_bSimpleNames = false;  // "primary.xml.gz" instead of "<checksum>-primary.xml.gz"
        // The lists' compression: "gz", "xz" or "bz2" as createrepo_c and
        // modifyrepo_c write them, or "zstd", which Debian's createrepo_c
        // cannot write: its gzip lists recompressed by the zstd program, with
        // index entries to match.
        std::string m_sCompression = "gz";
        // The checksum type of the index and of the package lists
        // (createrepo_c --checksum).
        std::string m_sChecksum = "sha256";
        // createrepo_c --baseurl: every package location names that base (xml:base).
        std::string m_sBaseUrl;
    };

    // The repository lives in dir (created); packages are built in dir + ".work".
    explicit RepoBuilder(std::string dir) : RepoBuilder(std::move(dir), Options()) {}
    RepoBuilder(std::string dir, Options options);

    RepoBuilder& add(const TestPackage& package) { return add(std::vector<TestPackage>{package}); }
    RepoBuilder& add(const std::vector<TestPackage>& packages) {
        m_vPending.insert(m_vPending.end(), packages.begin(), packages.end());
        return *this;
    }
    // Changes apply from the next build().
    Options& options() { return m_options; }
    RepoBuilder& addDevicePackage(const DevicePackage& package) {
        m_vDevice.push_back(package);
        return *this;
    }

    // Builds the packages not built yet and (re)makes the metadata; false (and
    // a test failure) when a tool fails. May be called again after adding.
    bool build();

    // Packages built from now on are signed with packageKey, and build() signs
    // the index with indexKey (nullptr: not signed). The keys must outlive the
    // builds.
    RepoBuilder& signWith(const TestKey* packageKey, const TestKey* indexKey) {
        m_pPackageKey = packageKey;
        m_pIndexKey = indexKey;
        return *this;
    }
    bool signIndex(const TestKey& key) { return key.detachSign(indexFile(), signatureFile()); }
    std::string signatureFile() const { return indexFile() + ".asc"; }

    const std::string& dir() const { return m_sDir; }
    std::string fileUri() const { return "file://" + m_sDir; }
    std::string indexFile() const { return m_sDir + "/repodata/repomd.xml"; }
    // The index entry's href for a type ("primary", "vtxdata"); empty when absent.
    std::string location(const std::string& type) const;
    std::string listFile(const std::string& type) const;
    static std::string rpmLocation(const TestPackage& package) {
        return "packages/" + package.fileName();
    }

    // Broken on purpose:
    // changes one byte of the list; the index keeps the old checksums.
    void corruptList(const std::string& type);
    // replaces the list with this content (compressed as the repository's
    // lists when asked) and updates the index entry to match, open checksum
    // included.
    void replaceList(const std::string& type, const std::string& xml, bool compress);
    // cuts the list file to half its size and updates the checksum (no open checksum).
    void truncateList(const std::string& type);
    // rewrites the list file with what edit makes of it and updates the
    // checksum (no open checksum).
    void rewriteList(const std::string& type,
                     const std::function<std::string(const std::string&)>& edit);
    // removes the type's entry from the index (modifyrepo_c --remove).
    void removeEntry(const std::string& type);
    void editIndex(const std::function<std::string(const std::string&)>& edit);
    // drops the <checksum> (and, unless keepOpen, the <open-checksum>) of an entry.
    void dropChecksums(const std::string& type, bool keepOpen);

private:
    // The entry of the type names the file (in repodata/) with its checksum,
    // size and, when the content is given, open checksum and open size.
    void setEntry(const std::string& type, const std::string& file, const std::string* content);
    // Recompresses a list of createrepo_c with the zstd program.
    void recompressWithZstd(const std::string& type);

    std::string m_sDir;
    Options m_options;
    PackageBuilder m_builder;
    std::vector<TestPackage> m_vPending;
    std::vector<DevicePackage> m_vDevice;
    const TestKey* m_pPackageKey = nullptr;
    const TestKey* m_pIndexKey = nullptr;
};
