#include "repo/checksum.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <string_view>

#include "repo/decompress_stream.h"
#include "support/fd.h"
#include "support/logger.h"
#include "xml/xml_util.h"

namespace {

// Files are read and digested in blocks of this size: constant memory, and
// large enough that the per-call cost of the digest does not show (with 1 KiB
// blocks SHA-256 runs about 12 % slower).
constexpr size_t kBlockSize = 64 * 1024;
// Buffer of the underlying reads of a plain file.
constexpr size_t kReadBufferSize = 128 * 1024;

// Set once the MD5 warning has been given; never reset.
bool g_bMd5Warned = false;

struct EvpMdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter>;

// The checksum types of the metadata and OpenSSL's names of their digests.
// "sha" is what older createrepo versions write for SHA-1, "sha1" what
// createrepo_c writes.
struct DigestName {
    const char* m_sType;
    const char* m_sDigest;
};
constexpr DigestName kDigests[] = {
    {"sha", "SHA1"},     {"sha1", "SHA1"},     {"sha224", "SHA224"},
    {"sha256", "SHA256"}, {"sha384", "SHA384"}, {"sha512", "SHA512"},
};

const char* digestNameOf(std::string_view type) {
    for (const DigestName& d : kDigests) {
        if (type == d.m_sType) {
            return d.m_sDigest;
        }
    }
    return nullptr;
}

const EVP_MD* digestFor(const Checksum& checksum) {
    if (checksum.m_sType == "md5") {
        if (!g_bMd5Warned) {
            LOGW("encountered insecure MD5 checksums: discarding them");
            g_bMd5Warned = true;
        }
        return nullptr;
    }
    const char* name = digestNameOf(checksum.m_sType);
    const EVP_MD* md = name != nullptr ? EVP_get_digestbyname(name) : nullptr;
    if (md == nullptr) {
        LOGE("unsupported checksum type '%s'", checksum.m_sType.c_str());
    }
    return md;
}

// Feeds a plain file to the digest.
bool digestPlainFile(EVP_MD_CTX* ctx, const std::string& path, unsigned char* block) {
    std::unique_ptr<FILE, FileCloser> file(fopen(path.c_str(), "rbe"));
    if (!file) {
        LOGE("failed opening '%s' for checksumming (%s)", path.c_str(), errnoString().c_str());
        return false;
    }
    // A larger stdio buffer means fewer system calls.
    setvbuf(file.get(), nullptr, _IOFBF, kReadBufferSize);
    for (;;) {
        size_t n = fread(block, 1, kBlockSize, file.get());
        if (n > 0 && EVP_DigestUpdate(ctx, block, n) != 1) {
            LOGE("failed computing hash for '%s'", path.c_str());
            return false;
        }
        if (n < kBlockSize) {
            if (ferror(file.get())) {
                LOGE("failed while reading from '%s'", path.c_str());
                return false;
            }
            return true;
        }
    }
}

// Feeds the decompressed content of a file to the digest, whatever its
// compression (the decoders of the package lists).
bool digestDecompressedFile(EVP_MD_CTX* ctx, const std::string& path, unsigned char* block) {
    std::unique_ptr<StreamDecoder> decoder = openStreamDecoder(path);
    if (!decoder) {
        LOGE("failed opening '%s' for checksumming (%s)", path.c_str(), errnoString().c_str());
        return false;
    }
    for (;;) {
        const int n = decoder->read(reinterpret_cast<char*>(block), kBlockSize);
        if (n < 0) {
            LOGE("failed while reading from '%s'", path.c_str());
            return false;
        }
        if (n == 0) {
            return true;
        }
        if (EVP_DigestUpdate(ctx, block, static_cast<size_t>(n)) != 1) {
            LOGE("failed computing hash for '%s'", path.c_str());
            return false;
        }
    }
}

bool checkDigest(const Checksum& checksum, const std::string& path, bool decompress) {
    if (checksum.m_sValue.empty()) {
        LOGE("attempted to check an empty checksum");
        return false;
    }
    std::vector<unsigned char> digest;
    if (!checksumFile(checksum, path, decompress, digest)) {
        return false;
    }
    std::string hex = toHex(digest);
    bool matched = checksum.m_sValue == hex;
    LOGD("'%s' checksum of '%s' (%s) %s against %s", checksum.m_sType.c_str(), path.c_str(),
         hex.c_str(), matched ? "checks" : "FAILS", checksum.m_sValue.c_str());
    return matched;
}

}  // namespace

bool parseChecksum(struct _xmlNode* element, Checksum& checksum) {
    std::string type;
    std::string value;
    if (!getAttribute(element, "type", type) || !getElementText(element, value)) {
        LOGD("failed parsing 'checksum' element");
        return false;
    }
    checksum.m_sType = type;
    checksum.m_sValue = value;
    return true;
}

bool isKnownChecksumType(const Checksum& checksum) {
    return checksum.m_sType == "md5" || digestNameOf(checksum.m_sType) != nullptr;
}

bool hasKnownChecksumType(std::initializer_list<const Checksum*> checksums) {
    const Checksum* unknown = nullptr;
    for (const Checksum* checksum : checksums) {
        if (checksum->m_sValue.empty()) {
            continue;
        }
        if (isKnownChecksumType(*checksum)) {
            return true;
        }
        if (unknown == nullptr) {
            unknown = checksum;
        }
    }
    if (unknown != nullptr) {
        LOGE("unsupported checksum type '%s'", unknown->m_sType.c_str());
        return false;
    }
    return true;
}

bool checksumFile(const Checksum& checksum, const std::string& path, bool decompress,
                  std::vector<unsigned char>& digest) {
    const EVP_MD* md = digestFor(checksum);
    if (md == nullptr) {
        return false;
    }
    EvpMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        LOGD("failed initializing hash function '%s'", checksum.m_sType.c_str());
        return false;
    }
    digest.resize(static_cast<size_t>(EVP_MD_size(md)));
    std::unique_ptr<unsigned char[]> block(new unsigned char[kBlockSize]);
    bool ok = decompress ? digestDecompressedFile(ctx.get(), path, block.get())
                         : digestPlainFile(ctx.get(), path, block.get());
    if (!ok) {
        return false;
    }
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1 || size != digest.size()) {
        LOGE("failed computing hash for '%s'", path.c_str());
        return false;
    }
    return true;
}

bool checkFile(const Checksum& checksum, const std::string& path) {
    return checkDigest(checksum, path, false);
}

bool checkUncompressedFile(const Checksum& checksum, const std::string& path) {
    return checkDigest(checksum, path, true);
}

std::string toHex(const void* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string text(size * 2, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return text;
}
