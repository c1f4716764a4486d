#include "rpmdb/pgp_armor.h"

#include <openssl/evp.h>

#include <climits>
#include <cstring>
#include <cstdint>
#include <memory>
#include <vector>

#include "support/logger.h"
#include "support/system.h"

namespace {

struct EncodeCtxDeleter {
    void operator()(EVP_ENCODE_CTX* ctx) const { EVP_ENCODE_CTX_free(ctx); }
};
using EncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, EncodeCtxDeleter>;

constexpr const char* kBegin = "-----BEGIN PGP SIGNATURE-----";
constexpr const char* kBeginAny = "-----BEGIN PGP ";
constexpr const char* kEnd = "-----END PGP SIGNATURE-----";

// CRC-24 of the armor checksum line.
uint32_t crc24(const std::string& data) {
    uint32_t crc = 0xb704ce;
    for (unsigned char byte : data) {
        crc ^= static_cast<uint32_t>(byte) << 16;
        for (int i = 0; i < 8; ++i) {
            crc <<= 1;
            if ((crc & 0x1000000) != 0) {
                crc ^= 0x1864cfb;
            }
        }
    }
    return crc & 0xffffff;
}

bool isBase64Line(const std::string& line) {
    return !line.empty() && line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                   "0123456789+/=") == std::string::npos;
}

// The data of one block and its checksum line ("=" and four characters), if any.
bool decodeBlock(const std::string& body, const std::string& checksum, std::string& packets) {
    std::string data;
    if (!decodeBase64(body.data(), body.size(), data)) {
        return false;
    }
    if (!checksum.empty()) {
        std::string crc;
        if (checksum.size() != 5 || !decodeBase64(checksum.data() + 1, 4, crc) || crc.size() != 3 ||
            crc24(data) != (static_cast<uint32_t>(static_cast<unsigned char>(crc[0])) << 16 |
                            static_cast<uint32_t>(static_cast<unsigned char>(crc[1])) << 8 |
                            static_cast<unsigned char>(crc[2]))) {
            return false;
        }
    }
    packets += data;
    return true;
}

}  // namespace

bool decodeBase64(const char* text, size_t length, std::string& out) {
    if (text == nullptr || length <= 2 || length > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    EncodeCtxPtr ctx(EVP_ENCODE_CTX_new());
    if (!ctx) {
        LOGE("failed to allocate base64 decoding context");
        return false;
    }
    std::vector<unsigned char> buffer(length - length / 4 + 1);
    int written = 0;
    int last = 0;
    EVP_DecodeInit(ctx.get());
    if (EVP_DecodeUpdate(ctx.get(), buffer.data(), &written,
                         reinterpret_cast<const unsigned char*>(text),
                         static_cast<int>(length)) < 0 ||
        EVP_DecodeFinal(ctx.get(), buffer.data() + written, &last) != 1) {
        return false;
    }
    const size_t total = static_cast<size_t>(written) + static_cast<size_t>(last);
    if (total == 0) {
        return false;
    }
    out.assign(reinterpret_cast<const char*>(buffer.data()), total);
    return true;
}

bool signatureFilePackets(const std::string& file, std::string& packets) {
    packets.clear();
    if (!file.empty() && (static_cast<unsigned char>(file[0]) & 0x80) != 0) {
        packets = file;
        return true;
    }
    enum class Place { OUTSIDE, HEADER, BODY, CHECKSUM } place = Place::OUTSIDE;
    std::string body, checksum;
    bool any = false;
    for (std::string line : splitLines(file)) {
        line.erase(line.find_last_not_of(" \t\r") + 1);
        switch (place) {
            case Place::OUTSIDE:
                if (line == kBegin) {
                    place = Place::HEADER;
                    any = true;
                } else if (line.compare(0, strlen(kBeginAny), kBeginAny) == 0) {
                    return false;  // gpgv would read it too, as we cannot
                }
                break;
            case Place::HEADER:
                if (line.empty()) {
                    place = Place::BODY;
                    body.clear();
                    checksum.clear();
                } else if (line.find(": ") == std::string::npos) {
                    return false;
                }
                break;
            case Place::BODY:
            case Place::CHECKSUM:
                if (line == kEnd) {
                    if (!decodeBlock(body, checksum, packets)) {
                        return false;
                    }
                    place = Place::OUTSIDE;
                } else if (place == Place::BODY && !line.empty() && line[0] == '=') {
                    checksum = line;
                    place = Place::CHECKSUM;
                } else if (place == Place::BODY && isBase64Line(line)) {
                    body += line;
                } else {
                    return false;
                }
                break;
        }
    }
    return any && place == Place::OUTSIDE;
}
