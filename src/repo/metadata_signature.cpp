#include "repo/metadata_signature.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "rpmdb/pgp_armor.h"
#include "rpmdb/pgp_packet.h"
#include "rpmdb/rpm_db.h"
#include "support/child_process.h"
#include "support/fd.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/system.h"

namespace {

// Removes the temporary keyring when the verification ends, however it ends.
class KeyringFile {
public:
    KeyringFile() = default;
    ~KeyringFile() {
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
    KeyringFile(const KeyringFile&) = delete;
    KeyringFile& operator=(const KeyringFile&) = delete;

    std::string path;
};

// Far more than any signature file holds: a larger one is not read.
constexpr size_t kMaxSignatureFileSize = 1024 * 1024;

}  // namespace

bool loadMetadataKeys(KeyList& keys) {
    RpmDB db;
    if (!db.open(HeaderCheck::VERIFY)) {
        LOGE("failed opening rpm DB");
        return false;
    }
    const KeyList& loaded = db.loadKeys();
    keys.insert(keys.end(), loaded.begin(), loaded.end());
    db.close();
    return true;
}

bool writeKeyring(const KeyList& keys, std::string& path) {
    std::vector<char> name(paths::kTempKeyringTemplate,
                           paths::kTempKeyringTemplate +
                               std::char_traits<char>::length(paths::kTempKeyringTemplate) + 1);
    UniqueFd fd(mkstemp(name.data()));
    if (!fd) {
        return false;
    }
    for (const std::string& key : keys) {
        if (!writeAll(fd.get(), key.data(), key.size())) {
            const int error = errno;
            unlink(name.data());
            fd.reset();
            errno = error;
            return false;
        }
    }
    // A keyring that did not reach the file completely is no keyring.
    if (fd.close() != 0) {
        const int error = errno;
        unlink(name.data());
        errno = error;
        return false;
    }
    path = name.data();
    return true;
}

bool verifyDetachedSignature(const KeyList& keys, const std::string& dataFile,
                             const std::string& signatureFile) {
    LOGD("verifying %s against signature %s", dataFile.c_str(), signatureFile.c_str());
    if (keys.empty()) {
        LOGW("no trusted keys to verify file");
        return false;
    }
    KeyringFile keyring;
    if (!writeKeyring(keys, keyring.path)) {
        LOGE("failed creating temporary keyring file: %s", errnoString().c_str());
        return false;
    }
    ChildProcess gpgv(paths::kGpgvProgram);
    for (const std::string& arg :
         {std::string("--quiet"), std::string("--keyring"), keyring.path,
          std::string("--ignore-time-conflict"), signatureFile, dataFile}) {
        gpgv.addArg(arg);
    }
    if (!gpgv.spawn() || !gpgv.wait()) {
        return false;
    }
    if (gpgv.exited()) {
        LOGD("gpgv exited with code %i", gpgv.status());
        return gpgv.status() == 0;
    }
    if (gpgv.signaled()) {
        LOGE("signature verifier was killed by signal %i", gpgv.status());
        return false;
    }
    LOGE("signature verifier failed for unknown reason");
    return false;
}

bool readSignatureTime(const std::string& signatureFile, int64_t& time) {
    std::string content, bytes;
    PGPPacketSeq packets;
    uint32_t created = 0;
    if (!readSmallFile(signatureFile, kMaxSignatureFileSize, content) || !signatureFilePackets(content, bytes) ||
        !packets.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) ||
        !documentSignatureTime(packets, created)) {
        LOGE("cannot read the signing time of metadata signature '%s'", signatureFile.c_str());
        return false;
    }
    time = created;
    return true;
}
