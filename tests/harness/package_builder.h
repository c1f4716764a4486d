// Real RPM packages and RPM databases for tests.
//
// A TestPackage is a compact description (name, EVR, arch, dependencies,
// payload, scriptlets); PackageBuilder turns a list of them into package files
// with rpmbuild, many at a time as subpackages of generated spec files. The
// free functions below make per-test RPM databases with the real rpm program
// and record packages and keys in them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "harness/command.h"

struct TestPackage {
    std::string m_sName;
    bool m_bHasEpoch = false;  // without it the package has no epoch tag
    uint32_t m_nEpoch = 0;
    std::string m_sVersion = "1.0";
    std::string m_sRelease = "1";
    std::string m_sArch = "noarch";
    std::string m_sGroup;
    // Dependencies as rpm writes them in a spec: "name" or "name op evr".
    std::vector<std::string> m_vRequires, m_vRecommends, m_vProvides, m_vObsoletes;
    // Size of /opt/<name>/payload (zero bytes); 0: no such file.
    uint64_t m_nPayloadSize = 0;
    // Further files: absolute path to content.
    std::map<std::string, std::string> m_mapFiles;
    // Scriptlet bodies (/bin/sh); empty: none.
    std::string m_sPre, m_sPost;

    TestPackage() = default;
    // evr: "[epoch:]version[-release]"; the release defaults to "1".
    explicit TestPackage(std::string name, std::string_view evr = "1.0-1",
                         std::string arch = "noarch");

    TestPackage& require(std::string dep) { return add(m_vRequires, std::move(dep)); }
    TestPackage& recommend(std::string dep) { return add(m_vRecommends, std::move(dep)); }
    TestPackage& provide(std::string dep) { return add(m_vProvides, std::move(dep)); }
    TestPackage& obsolete(std::string dep) { return add(m_vObsoletes, std::move(dep)); }
    TestPackage& group(std::string group) { return set(m_sGroup, std::move(group)); }
    TestPackage& pre(std::string script) { return set(m_sPre, std::move(script)); }
    TestPackage& post(std::string script) { return set(m_sPost, std::move(script)); }
    TestPackage& payload(uint64_t size) {
        m_nPayloadSize = size;
        return *this;
    }
    TestPackage& file(const std::string& path, std::string content) {
        return set(m_mapFiles[path], std::move(content));
    }

    // "name-version-release.arch.rpm", the name of the built file.
    std::string fileName() const {
        return m_sName + "-" + m_sVersion + "-" + m_sRelease + "." + m_sArch + ".rpm";
    }

private:
    TestPackage& add(std::vector<std::string>& list, std::string dep) {
        list.push_back(std::move(dep));
        return *this;
    }
    TestPackage& set(std::string& field, std::string value) {
        field = std::move(value);
        return *this;
    }
};

// "[epoch:]version[-release]" as epoch, version and release (empty when absent).
std::vector<std::string> splitEvr(std::string_view evr);

class PackageBuilder {
public:
    // Keeps its spec files, build trees and rpm configuration under workDir.
    explicit PackageBuilder(std::string workDir);

    // Builds the packages into outDir and returns the paths of the files in
    // the order given; empty (and a test failure with rpmbuild's output) when
    // the build fails. Packages of one name may appear in several versions.
    std::vector<std::string> build(const std::vector<TestPackage>& packages,
                                   const std::string& outDir);
    std::string build(const TestPackage& package, const std::string& outDir);

private:
    std::string m_sWorkDir;
    size_t m_nSpecs = 0;
};

// rpm --dbpath DB ARGS...
CommandResult runRpm(const std::string& dbPath, const std::vector<std::string>& args);
// Creates the directory and an empty database in it.
bool initRpmDb(const std::string& dbPath);
// Records the packages in the database without their files, dependencies or
// scriptlets (rpm -i --justdb --nodeps --noscripts, any architecture, older
// versions next to newer ones, files of one path in several packages).
bool installJustDb(const std::string& dbPath, const std::vector<std::string>& files);
// rpm --import of an armored public key.
bool importKey(const std::string& dbPath, const std::string& keyFile);

// An OpenPGP key pair in its own GnuPG home, for signing test packages and
// repository indexes. A key of one name and algorithm is generated once per
// build tree (under the sandbox root, guarded against concurrent test
// processes) and copied into a fresh home, a short temporary directory (the
// agent's socket path must stay short); the home and the key's agent go away
// on destruction.
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
    // 16 lower-case hexadecimal digits.
    const std::string& keyId() const { return m_sKeyId; }

    // Writes the binary public key (gpg --export) to the file.
    bool exportBinary(const std::string& file) const;
    // Signs an RPM file in place (rpmsign --addsign).
    bool signPackage(const std::string& rpmFile) const;
    // Writes an armored detached signature of the file.
    bool detachSign(const std::string& file, const std::string& signatureFile) const;

private:
    bool gpg(std::vector<std::string> args) const;

    std::string m_sHome;
    std::string m_sName;
    std::string m_sPublicKeyFile;
    std::string m_sKeyId;
};
