#include "net/device_identity.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/credential_store.h"
#include "support/fd.h"
#include "support/logger.h"
#include "support/paths.h"
#include "support/system.h"

namespace {

// ---------------------------------------------------------------------------
// Device-specific constants of the default credentials, all in one place.
//
// The password alphabet: 26 lower-case letters, 26 upper-case letters, 10
// digits and two punctuation characters; the low 6 bits of a digest byte
// select one of them.
constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_";
static_assert(sizeof(kAlphabet) == 65, "the password alphabet has 64 characters");

// An EEPROM data block: the first 21 bytes of a data file. Bytes 8 to 12 hold
// the board's revision field (5 characters).
constexpr size_t kBlockSize = 21;
constexpr size_t kRevisionOffset = 8;
constexpr size_t kRevisionLength = 5;

// Halvec boards of HW rev 2.12 were shipped with a core board revision field
// reading "C2.10" next to a carrier board field "B1.03": the core field's
// characters 3 and 4 are corrected to "12" before hashing.
constexpr char kBadCoreRevision[] = "C2.10";
constexpr char kBadCarrierRevision[] = "B1.03";
constexpr size_t kCoreFixOffset = 3;
constexpr char kCoreFix[] = "12";

// The carrier board's block ends with this fixed string (its last 5 bytes);
// boards whose EEPROM lacks it get it written in before hashing.
constexpr char kCarrierFixedString[] = "VTXCB";
constexpr size_t kFixedStringLength = 5;

static_assert(sizeof(kBadCoreRevision) - 1 == kRevisionLength, "revision field length");
static_assert(sizeof(kBadCarrierRevision) - 1 == kRevisionLength, "revision field length");
static_assert(sizeof(kCarrierFixedString) - 1 == kFixedStringLength, "fixed string length");
static_assert(kRevisionOffset + kRevisionLength <= kBlockSize - kFixedStringLength,
              "revision field and fixed string do not overlap");
// ---------------------------------------------------------------------------

constexpr size_t kCpuInfoLine = 2048;    // lines of up to 2047 characters
constexpr size_t kMaxSerialLength = 63;  // what the device data model holds
constexpr size_t kIdentifierLine = 128;  // lines of up to 127 characters

struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The third white-space-separated token of the line, cut to maxLength; false
// when there is none.
bool thirdToken(const char* line, size_t maxLength, std::string& out) {
    char format[32];
    snprintf(format, sizeof(format), "%%*s %%*s %%%zus", maxLength);
    char token[kCpuInfoLine];
    if (sscanf(line, format, token) != 1) {
        return false;
    }
    out = token;
    return true;
}

bool startsWith(const char* line, const char* prefix) {
    return strncmp(line, prefix, strlen(prefix)) == 0;
}

// Reads up to the end of the current line after a fragment that did not fit.
void skipRestOfLine(FILE* file) {
    int c;
    while ((c = fgetc(file)) != EOF && c != '\n') {
    }
}

// Reads one data block from the start of the file, unbuffered.
bool readBlock(const char* path, unsigned char* block) {
    UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        LOGD("failed opening secret data file '%s': %s", path, errnoString().c_str());
        return false;
    }
    size_t got = 0;
    while (got < kBlockSize) {
        ssize_t n = read(fd.get(), block + got, kBlockSize - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (got < kBlockSize) {
        LOGD("failed reading data from '%s'", path);
        return false;
    }
    return true;
}

// The corrections of known faulty Halvec EEPROM data.
void correctHalvecBlocks(unsigned char* core, unsigned char* carrier) {
    if (memcmp(core + kRevisionOffset, kBadCoreRevision, kRevisionLength) == 0 &&
        memcmp(carrier + kRevisionOffset, kBadCarrierRevision, kRevisionLength) == 0) {
        LOGT("bad core EEPROM data, using workaround for HW rev 2.12");
        memcpy(core + kRevisionOffset + kCoreFixOffset, kCoreFix, sizeof(kCoreFix) - 1);
    }
    unsigned char* tail = carrier + kBlockSize - kFixedStringLength;
    if (memcmp(tail, kCarrierFixedString, kFixedStringLength) != 0) {
        LOGT("bad carrier EEPROM data, using workaround for missing fixed string");
        memcpy(tail, kCarrierFixedString, kFixedStringLength);
    }
}

}  // namespace

namespace device {

const char* passwordAlphabet() {
    return kAlphabet;
}

void readHardwareInfo(DeviceIdentity& identity) {
    const char* path = paths::kCpuInfo;
    UniqueFile file(fopen(path, "re"));
    if (!file) {
        LOGE("failed opening '%s' for initialization: '%s'", path, errnoString().c_str());
        return;
    }
    char line[kCpuInfoLine];
    for (;;) {
        errno = 0;
        if (fgets(line, sizeof(line), file.get()) == nullptr) {
            if (ferror(file.get())) {
                LOGD("failed reading from '%s'", path);
            }
            break;
        }
        if (strchr(line, '\n') == nullptr && !feof(file.get())) {
            skipRestOfLine(file.get());
        }
        std::string token;
        if (startsWith(line, "Serial")) {
            if (thirdToken(line, kMaxSerialLength, token)) {
                identity.m_sSerial = token;
            } else {
                LOGD("malformed Serial line in '%s'", path);
            }
        } else if (startsWith(line, "Revision")) {
            if (thirdToken(line, 8, token)) {
                identity.m_sHwRevision = token;
            } else {
                LOGD("malformed Revision line in '%s'", path);
            }
        } else if (startsWith(line, "Hardware")) {
            if (!thirdToken(line, 15, token)) {
                LOGD("malformed Hardware line in '%s'", path);
            } else if (token == "Halvec") {
                identity.m_hwType = HwType::HALVEC;
            } else if (token == "Miravo") {
                identity.m_hwType = HwType::MIRAVO;
            } else if (token == "ostrela") {
                identity.m_hwType = HwType::OSTRELA;
            } else {
                LOGW("unknown hardware '%s'", token.c_str());
                identity.m_hwType = HwType::OTHER;
            }
        }
    }
    if (identity.m_sSerial.empty()) {
        identity.m_sSerial = readIdentifier("VTX_SN").substr(0, kMaxSerialLength);
        if (identity.m_sSerial.empty()) {
            LOGD("no Serial in '%s' nor identifiers file", path);
        }
    }
    if (identity.m_sHwRevision.empty()) {
        LOGD("no Revision in '%s'", path);
    }
    if (identity.m_hwType == HwType::UNKNOWN) {
        LOGD("no Hardware in '%s'", path);
    }
}

std::string readIdentifier(const std::string& name) {
    UniqueFile file(fopen(paths::kIdentifiersFile, "re"));
    if (!file) {
        LOGW("could not open %s: %s", paths::kIdentifiersFile, errnoString().c_str());
        return "";
    }
    char buffer[kIdentifierLine];
    while (fgets(buffer, sizeof(buffer), file.get()) != nullptr) {
        // A longer line is taken up to its 127th character.
        if (strchr(buffer, '\n') == nullptr && !feof(file.get())) {
            skipRestOfLine(file.get());
        }
        const char* start = buffer;
        while (*start == ' ' || *start == '\t') {
            ++start;
        }
        std::string line = start;
        while (!line.empty() && isspace(static_cast<unsigned char>(line.back()))) {
            line.pop_back();
        }
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos ||
            line.compare(0, eq, name) != 0 || eq != name.size()) {
            continue;
        }
        std::string value = line.substr(eq + 1);
        if (!value.empty() && (value[0] == '"' || value[0] == '\'')) {
            if (value.size() < 2 || value.back() != value[0]) {
                return "";
            }
            value = value.substr(1, value.size() - 2);
        }
        if (!value.empty()) {
            return value;
        }
    }
    return "";
}

std::string firmwareVersion() {
    std::string version;
    if (!readOsRelease("VERSION_ID=", version)) {
        version.clear();
    }
    return version;
}

std::string defaultUserName(const DeviceIdentity& identity, const std::string& product) {
    if (identity.m_sHwRevision.empty()) {
        LOGD("no HW Revision");
        return "";
    }
    std::string user = product + "-" + identity.m_sHwRevision;
    LOGD("default http user initialized to '%s'", user.c_str());
    return user;
}

std::string defaultPassword(HwType hwType) {
    if (hwType == HwType::UNKNOWN || hwType == HwType::OTHER) {
        LOGD("no secret data");
        return "";
    }
    if (hwType < HwType::UNKNOWN || hwType > HwType::OTHER) {
        LOGE("invalid hardware type %i", static_cast<int>(hwType));
        return "";
    }
    const size_t needed = hwType == HwType::HALVEC ? 2 : 1;
    unsigned char data[2 * kBlockSize];
    size_t blocks = 0;
    for (const char* path : paths::kEepromDataFiles) {
        if (blocks == needed) {
            break;
        }
        if (readBlock(path, data + blocks * kBlockSize)) {
            ++blocks;
        }
    }
    if (blocks < needed) {
        LOGD("failed reading secret data");
        return "";
    }
    if (hwType == HwType::HALVEC) {
        correctHalvecBlocks(data, data + kBlockSize);
    }

    std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        LOGD("failed initializing hash function");
        return "";
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestUpdate(context.get(), data, blocks * kBlockSize) != 1 ||
        EVP_DigestFinal_ex(context.get(), digest, &length) != 1 || length < kPasswordLength) {
        LOGD("failed computing hash");
        return "";
    }
    std::string password;
    for (size_t i = 0; i < kPasswordLength; ++i) {
        password += kAlphabet[digest[i] & 0x3f];
    }
    return password;
}

bool setupDefaultCredentials(const DeviceIdentity& identity, const std::string& product,
                             CredentialStore& store) {
    store.clear();
    std::string password = defaultPassword(identity.m_hwType);
    std::string user = defaultUserName(identity, product);
    if (password.empty() && user.empty()) {
        LOGD("no default credentials");
        return true;
    }
    if (password.empty()) {
        LOGE("cannot recover default password for authentication");
        return false;
    }
    if (user.empty()) {
        LOGE("cannot recover default user name for authentication");
        return false;
    }
    LOGT("default user '%s'", user.c_str());
    Credential entry;
    entry.m_sPath = "/";
    entry.m_sUser = user;
    entry.m_sPassword = password;
    store.add(entry);
    return true;
}

}  // namespace device
