// A small reader of the OpenPGP binary packet format: splits bytes into
// packets, a version 4 signature's subpacket areas into subpackets, and reads
// the version, type, creation time and issuer key ID of a signature packet.
// It verifies nothing (the RPM library does that). Packets point into the
// caller's buffer, which must outlive them; no body is copied.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Packet tag of a signature.
constexpr uint32_t kPgpTagSignature = 2;
// Subpacket types read from a version 4 signature.
constexpr uint32_t kPgpSubpacketCreationTime = 2;
constexpr uint32_t kPgpSubpacketIssuer = 16;

// One packet, or one signature subpacket.
struct PGPPacket {
    uint32_t tag = 0;               // packet tag; for a subpacket its whole type byte
    uint64_t size = 0;              // bytes taken in the input: header and body
    uint64_t blen = 0;              // body length
    const uint8_t* body = nullptr;  // first body byte, inside the input

    // Reads the packet header at the start of data (n bytes available).
    bool parse(const uint8_t* data, uint64_t n);
    // Reads one subpacket (length, type byte, body) at the start of data.
    bool parseSubPacket(const uint8_t* data, uint64_t n);
};

// An ordered sequence of packets, or of the subpackets of a signature,
// split from a byte string by the packet reader given.
template <bool (PGPPacket::*Parse)(const uint8_t*, uint64_t)>
class PGPSequence {
public:
    // Splits the whole byte string and appends what it holds; false at the
    // first malformed entry (those read before it stay).
    bool append(const uint8_t* data, size_t size);

    const std::vector<PGPPacket>& packets() const { return m_vPackets; }
    size_t size() const { return m_vPackets.size(); }
    const PGPPacket& operator[](size_t i) const { return m_vPackets[i]; }

private:
    std::vector<PGPPacket> m_vPackets;
};

using PGPPacketSeq = PGPSequence<&PGPPacket::parse>;
// The subpackets of the hashed and unhashed areas of a version 4 signature.
using PGPSubPacketSeq = PGPSequence<&PGPPacket::parseSubPacket>;

// An OpenPGP key ID, in the byte order of the packet.
using PGPKeyId = std::array<uint8_t, 8>;

// The facts of one signature packet.
struct PGPSigData {
    uint8_t version = 0;
    uint8_t sigType = 0;
    uint32_t time = 0;  // creation time, seconds since 1970
    PGPKeyId keyId = {};
    uint8_t pubkeyAlgo = 0;
    uint8_t hashAlgo = 0;
    bool hasTime = false;
    bool hasKeyId = false;

    // Dispatches on the version byte (3 or 4; another version is logged).
    bool parse(const PGPPacket& packet);
    bool parseSigV3(const PGPPacket& packet);
    bool parseSigV4(const PGPPacket& packet);
    // Parses the first signature packet of the sequence.
    bool parseFirst(const PGPPacketSeq& packets);
};

// The creation time that a detached signature file vouches for, from its
// packets. gpgv accepts such a file only when every signature in it verifies
// over the document by a trusted key, but when their signature types or hash
// algorithms differ it checks the first one alone. So the time is the newest
// one of the signatures over a document (type 0x00 binary or 0x01 text) when
// all agree in type and hash algorithm, else that of the first signature:
// each of them verified, so the document existed, signed, at that time. A
// version 4 signature's time counts only from its hashed area (the unhashed
// area is not signed). False when the packets are not all signatures, one
// of them is malformed, or no signature that counts gives a time.
bool documentSignatureTime(const PGPPacketSeq& packets, uint32_t& time);

// 16 lower-case hexadecimal digits, in stored byte order.
std::string keyIdToHex(const PGPKeyId& keyId);
