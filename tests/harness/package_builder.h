// Real RPM packages, RPM databases and signing keys for tests. PackageBuilder
// turns TestPackage descriptions into package files with rpmbuild, many at a
// time as subpackages of generated spec files.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "harness/command.h"

// "[epoch:]version[-release]" as epoch, version and release (empty when absent).
std::vector<std::string> splitEvr(std::string_view evr);

// What RPM and device packages share; dependencies are written as in a spec
// file: "name" or "name op evr".
template <class Self>
struct PackageDescription {
    std::string m_sName;
    bool m_bHasEpoch = false;  // without it an RPM has no epoch tag
    uint32_t m_nEpoch = 0;
    std::string m_sVersion = "1.0";
    std::string m_sRelease = "1";
    std::string m_sArch = "noarch";
    std::string m_sGroup;
    std::vector<std::string> m_vRequires, m_vRecommends, m_vProvides, m_vObsoletes;

    Self& require(std::string dep) { return add(m_vRequires, std::move(dep)); }
    Self& recommend(std::string dep) { return add(m_vRecommends, std::move(dep)); }
    Self& provide(std::string dep) { return add(m_vProvides, std::move(dep)); }
    Self& obsolete(std::string dep) { return add(m_vObsoletes, std::move(dep)); }
    Self& group(std::string group) { return set(m_sGroup, std::move(group)); }
    Self& arch(std::string arch) { return set(m_sArch, std::move(arch)); }
    std::string fileName() const {
        return m_sName + "-" + m_sVersion + "-" + m_sRelease + "." + m_sArch + Self::kSuffix;
    }

protected:
    PackageDescription() = default;
    // evr: "[epoch:]version[-release]"; the release defaults to "1".
    PackageDescription(std::string name, std::string_view evr, std::string arch)
        : m_sName(std::move(name)), m_sArch(std::move(arch)) {
        std::vector<std::string> split = splitEvr(evr);
        m_bHasEpoch = !split[0].empty();
        m_nEpoch = m_bHasEpoch ? static_cast<uint32_t>(std::stoul(split[0])) : 0;
        m_sVersion = split[1];
        m_sRelease = split[2].empty() ? m_sRelease : split[2];
    }
    Self& add(std::vector<std::string>& list, std::string dep) {
        list.push_back(std::move(dep));
        return static_cast<Self&>(*this);
    }
    Self& set(std::string& field, std::string value) {
        field = std::move(value);
        return static_cast<Self&>(*this);
    }
};

struct TestPackage : PackageDescription<TestPackage> {
    static constexpr const char* kSuffix = ".rpm";
    // Size of /opt/<name>/payload (zero bytes); 0: no such file.
    uint64_t m_nPayloadSize = 0;
    std::map<std::string, std::string> m_mapFiles;  // absolute path to content
    std::string m_sPre;                             // %pre scriptlet (/bin/sh); empty: none

    TestPackage() = default;
    explicit TestPackage(std::string name, std::string_view evr = "1.0-1",
                         std::string arch = "noarch")
        : PackageDescription(std::move(name), evr, std::move(arch)) {}

    TestPackage& pre(std::string script) { return set(m_sPre, std::move(script)); }
    TestPackage& payload(uint64_t size) {
        m_nPayloadSize = size;
        return *this;
    }
    TestPackage& file(const std::string& path, std::string content) {
        return set(m_mapFiles[path], std::move(content));
    }
};

class PackageBuilder {
public:
    // Keeps its spec files, build trees and rpm configuration under workDir.
    explicit PackageBuilder(std::string workDir);

    // Builds the packages into outDir and returns the paths of the files in
    // the order given; empty (and a test failure with rpmbuild's output) when
    // the build fails. Packages of one name may appear in several versions.
    std::vector<std::string> build(const std::vector<TestPackage>& packages,
                                   const std::string& outDir);
    std::string build(const TestPackage& package, const std::string& outDir) {
        std::vector<std::string> files = build(std::vector<TestPackage>{package}, outDir);
        return files.empty() ? std::string() : files.front();
    }

private:
    std::string m_sWorkDir;
    size_t m_nSpecs = 0;
};

CommandResult runRpm(const std::string& dbPath, const std::vector<std::string>& args);
bool initRpmDb(const std::string& dbPath);
// Records the packages in the database without their files, dependencies or
// scriptlets (any architecture, older versions next to newer ones, files of
// one path in several packages).
bool installJustDb(const std::string& dbPath, const std::vector<std::string>& files);
bool importKey(const std::string& dbPath, const std::string& keyFile);

// An OpenPGP key pair in its own GnuPG home, for signing test packages and
// repository indexes. A key of one name and algorithm is generated once per
// build tree and copied into a fresh, short home directory (the agent's socket
// path must stay short); the home and its agent go away on destruction.
class TestKey {
public:
    // An RSA 2048 signing key whose user ID is name; the armored public key
    // is exported into exportDir.
    TestKey(std::string name, const std::string& exportDir)
        : TestKey(std::move(name), "rsa2048", exportDir) {}
    // A key of that algorithm ("rsa2048", "dsa2048", ... as gpg --quick-gen-key takes them).
    TestKey(std::string name, const std::string& algorithm, const std::string& exportDir);
    ~TestKey();
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    bool valid() const { return !m_sKeyId.empty(); }
    const std::string& home() const { return m_sHome; }
    const std::string& name() const { return m_sName; }
    const std::string& publicKeyFile() const { return m_sPublicKeyFile; }
    const std::string& keyId() const { return m_sKeyId; }  // 16 lower-case hex digits

    bool exportBinary(const std::string& file) const {
        return gpg({"--yes", "--output", file, "--export", m_sName});
    }
    bool signPackage(const std::string& rpmFile) const;
    // A detached armored signature made now, or at the moment given as gpg
    // takes it ("20240101T000000"; the keys are made on 2020-01-01).
    bool detachSign(const std::string& file, const std::string& signatureFile,
                    const std::string& at = "") const {
        std::vector<std::string> args = {"--yes", "--local-user", m_sName, "--armor", "--output",
                                         signatureFile, "--detach-sign", file};
        if (!at.empty()) {
            args.insert(args.begin(), {"--faked-system-time", at + "!"});
        }
        return gpg(args);
    }

private:
    bool gpg(std::vector<std::string> args) const;

    std::string m_sHome;
    std::string m_sName;
    std::string m_sPublicKeyFile;
    std::string m_sKeyId;
};
