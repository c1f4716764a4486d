#include "rpmdb/pgp_packet.h"

#include <algorithm>
#include <cstdio>

#include "support/logger.h"

namespace {

uint32_t bigEndian(const uint8_t* p, size_t n) {
    uint32_t value = 0;
    for (size_t i = 0; i < n; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

// A new-format length field at data (n bytes available): the body length and
// the size of the field. Partial body lengths are not accepted, nor a length
// that runs past the available bytes.
bool parseNewLength(const uint8_t* data, uint64_t n, uint64_t& length, uint64_t& fieldSize) {
    if (n < 1) {
        return false;
    }
    const uint8_t first = data[0];
    if (first < 192) {
        length = first;
        fieldSize = 1;
    } else if (first <= 223) {
        if (n < 2) {
            return false;
        }
        length = (static_cast<uint64_t>(first - 192) << 8) + data[1] + 192;
        fieldSize = 2;
    } else if (first == 255) {
        if (n < 5) {
            return false;
        }
        length = bigEndian(data + 1, 4);
        fieldSize = 5;
    } else {
        return false;
    }
    return length <= n - fieldSize;
}

// The creation time subpacket of a version 4 signature's hashed area (the
// signature's layout was checked before); a critical one counts too.
bool hashedCreationTime(const PGPPacket& packet, uint32_t& time) {
    PGPSubPacketSeq hashed;
    if (!hashed.append(packet.body + 6, bigEndian(packet.body + 4, 2))) {
        return false;
    }
    for (const PGPPacket& sub : hashed.packets()) {
        if ((sub.tag & 0x7f) == kPgpSubpacketCreationTime) {
            if (sub.blen < 4) {
                return false;
            }
            time = bigEndian(sub.body, 4);
            return true;
        }
    }
    return false;
}

}  // namespace

bool PGPPacket::parse(const uint8_t* data, uint64_t n) {
    if (data == nullptr || n < 1 || (data[0] & 0x80) == 0) {
        return false;
    }
    const uint8_t first = data[0];
    if ((first & 0x40) != 0) {
        if (n < 2) {
            return false;
        }
        uint64_t length = 0;
        uint64_t fieldSize = 0;
        if (!parseNewLength(data + 1, n - 1, length, fieldSize)) {
            return false;
        }
        tag = first & 0x3f;
        blen = length;
        body = data + 1 + fieldSize;
        size = 1 + fieldSize + length;
        return true;
    }
    tag = (first >> 2) & 0x0f;
    const unsigned lengthType = first & 0x03;
    if (lengthType == 3) {
        blen = n - 1;
        body = data + 1;
        size = n;
        return true;
    }
    const uint64_t lengthBytes = lengthType == 0 ? 1 : lengthType == 1 ? 2 : 4;
    if (n < 1 + lengthBytes) {
        return false;
    }
    blen = bigEndian(data + 1, lengthBytes);
    body = data + 1 + lengthBytes;
    // The body may run past the data; the sequence reader checks the size.
    size = 1 + lengthBytes + blen;
    return true;
}

bool PGPPacket::parseSubPacket(const uint8_t* data, uint64_t n) {
    if (data == nullptr || n < 1) {
        return false;
    }
    uint64_t length = 0;
    uint64_t fieldSize = 0;
    if (!parseNewLength(data, n, length, fieldSize) || length == 0) {
        return false;
    }
    tag = data[fieldSize];
    blen = length - 1;
    body = data + fieldSize + 1;
    size = fieldSize + length;
    return true;
}

template <bool (PGPPacket::*Parse)(const uint8_t*, uint64_t)>
bool PGPSequence<Parse>::append(const uint8_t* data, size_t size) {
    uint64_t remaining = size;
    while (remaining > 0) {
        PGPPacket packet;
        if (!(packet.*Parse)(data, remaining) || packet.size == 0 || packet.size > remaining) {
            return false;
        }
        m_vPackets.push_back(packet);
        data += packet.size;
        remaining -= packet.size;
    }
    return true;
}

template class PGPSequence<&PGPPacket::parse>;
template class PGPSequence<&PGPPacket::parseSubPacket>;

bool PGPSigData::parse(const PGPPacket& packet) {
    if (packet.blen < 1 || packet.body == nullptr) {
        return false;
    }
    version = packet.body[0];
    switch (version) {
        case 3:
            return parseSigV3(packet);
        case 4:
            return parseSigV4(packet);
        default:
            LOGE("signature packet version %u unknown", static_cast<unsigned>(version));
            return false;
    }
}

bool PGPSigData::parseSigV3(const PGPPacket& packet) {
    if (packet.blen < 1 || packet.body == nullptr || packet.body[0] != 3) {
        return false;
    }
    const uint8_t* b = packet.body;
    if (packet.blen < 17 || b[1] != 5) {
        return false;
    }
    sigType = b[2];
    time = bigEndian(b + 3, 4);
    std::copy(b + 7, b + 15, keyId.begin());
    pubkeyAlgo = b[15];
    hashAlgo = b[16];
    hasTime = true;
    hasKeyId = true;
    return true;
}

bool PGPSigData::parseSigV4(const PGPPacket& packet) {
    if (packet.blen < 1 || packet.body == nullptr || packet.body[0] != 4) {
        return false;
    }
    const uint8_t* b = packet.body;
    const uint64_t blen = packet.blen;
    if (blen < 6) {
        return false;
    }
    sigType = b[1];
    pubkeyAlgo = b[2];
    hashAlgo = b[3];
    const uint64_t hashed = bigEndian(b + 4, 2);
    if (hashed > blen - 6) {
        return false;
    }
    PGPSubPacketSeq subpackets;
    if (!subpackets.append(b + 6, hashed)) {
        return false;
    }
    if (blen < hashed + 8) {
        return false;
    }
    const uint64_t unhashed = bigEndian(b + 6 + hashed, 2);
    if (unhashed > blen - 8 - hashed) {
        return false;
    }
    if (!subpackets.append(b + 8 + hashed, unhashed)) {
        return false;
    }
    if (sigType != 0) {
        return true;
    }
    for (const PGPPacket& sub : subpackets.packets()) {
        if (sub.tag == kPgpSubpacketCreationTime && !hasTime) {
            if (sub.blen < 4) {
                return false;
            }
            time = bigEndian(sub.body, 4);
            hasTime = true;
        } else if (sub.tag == kPgpSubpacketIssuer && !hasKeyId) {
            if (sub.blen < 8) {
                return false;
            }
            std::copy(sub.body, sub.body + 8, keyId.begin());
            hasKeyId = true;
        }
    }
    return true;
}

bool PGPSigData::parseFirst(const PGPPacketSeq& packets) {
    for (const PGPPacket& packet : packets.packets()) {
        if (packet.tag == kPgpTagSignature) {
            if (packet.blen == 0) {
                return false;
            }
            return parse(packet);
        }
    }
    return false;
}

bool documentSignatureTime(const PGPPacketSeq& packets, uint32_t& time) {
    std::vector<PGPSigData> signatures(packets.size());
    bool alike = true;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].tag != kPgpTagSignature || !signatures[i].parse(packets[i])) {
            return false;
        }
        alike = alike && signatures[i].sigType == signatures[0].sigType &&
                signatures[i].hashAlgo == signatures[0].hashAlgo;
    }
    bool found = false;
    for (size_t i = 0; i < (alike ? packets.size() : 1); ++i) {
        const PGPSigData& sig = signatures[i];
        uint32_t created = sig.time;
        if ((sig.sigType != 0x00 && sig.sigType != 0x01) ||
            (sig.version == 4 && !hashedCreationTime(packets[i], created))) {
            continue;
        }
        time = found ? std::max(time, created) : created;
        found = true;
    }
    return found;
}

std::string keyIdToHex(const PGPKeyId& keyId) {
    char text[17];
    for (size_t i = 0; i < keyId.size(); ++i) {
        snprintf(text + 2 * i, 3, "%02x", keyId[i]);
    }
    return std::string(text, 16);
}
