#include "rpmdb/pgp_packet.h"

#include <gtest/gtest.h>

#include <vector>

#include "harness/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes filler(size_t n) {
    return Bytes(n, 0x5a);
}

struct Expected {
    uint32_t tag;
    uint64_t blen;
    uint64_t size;
};

struct SeqCase {
    const char* what;
    bool subpackets;
    Bytes data;
    bool ok;
    std::vector<Expected> packets;  // appended, also when the sequence fails
};

template <typename Seq>
void checkSequence(const SeqCase& c) {
    Seq seq;
    EXPECT_EQ(seq.append(c.data.data(), c.data.size()), c.ok);
    ASSERT_EQ(seq.size(), c.packets.size());
    size_t offset = 0;
    for (size_t i = 0; i < seq.size(); ++i) {
        EXPECT_EQ(seq[i].tag, c.packets[i].tag);
        EXPECT_EQ(seq[i].blen, c.packets[i].blen);
        EXPECT_EQ(seq[i].size, c.packets[i].size);
        // The body points into the input, right before the packet's end.
        EXPECT_EQ(seq[i].body, c.data.data() + offset + seq[i].size - seq[i].blen);
        offset += seq[i].size;
    }
}

TEST(PgpPacketTest, PacketSequencesAndSubpacketAreas) {
    const std::vector<SeqCase> cases = {
        {"empty input", false, {}, true, {}},
        {"old format, 1-octet length", false, {0x88, 0x02, 0xab, 0xcd}, true, {{2, 2, 4}}},
        {"old format, 2-octet length",
         false,
         Bytes{0x89, 0x00, 0x03} + filler(3),
         true,
         {{2, 3, 6}}},
        {"old format, 4-octet length", false, Bytes{0x8a, 0, 0, 0, 1, 0x11}, true, {{2, 1, 6}}},
        {"old format, indeterminate length", false, {0x8b, 1, 2, 3}, true, {{2, 3, 4}}},
        {"old format, 300 bytes declared in 100",
         false,
         Bytes{0x89, 0x01, 0x2c} + filler(97),
         false,
         {}},
        {"old format, length octets missing", false, {0x89, 0x01}, false, {}},
        {"new format, 1-octet length", false, {0xc2, 0x02, 0xab, 0xcd}, true, {{2, 2, 4}}},
        {"new format, 2-octet length",
         false,
         Bytes{0xc2, 0xc0, 0x00} + filler(192),
         true,
         {{2, 192, 195}}},
        {"new format, 5-octet length",
         false,
         Bytes{0xc2, 0xff, 0, 0, 0, 3} + filler(3),
         true,
         {{2, 3, 9}}},
        {"new format, partial body length", false, Bytes{0xc2, 0xe1} + filler(2), false, {}},
        {"new format, no length", false, {0xc2}, false, {}},
        {"new format, 2-octet length cut", false, {0xc2, 0xc5}, false, {}},
        {"new format, 5-octet length cut", false, {0xc2, 0xff, 0, 0}, false, {}},
        {"new format, body runs past the data", false, {0xc2, 0x05, 0x01}, false, {}},
        {"bit 7 clear", false, {0x08, 0x00}, false, {}},
        {"two packets", false, {0x88, 0x01, 0x00, 0xc6, 0x00}, true, {{2, 1, 3}, {6, 0, 2}}},
        {"a good packet, then junk", false, {0x88, 0x01, 0x00, 0x08}, false, {{2, 1, 3}}},
        {"empty area", true, {}, true, {}},
        {"creation time", true, {0x05, 0x02, 1, 2, 3, 4}, true, {{2, 4, 6}}},
        {"critical issuer keeps bit 7", true, Bytes{0x09, 0x90} + filler(8), true, {{0x90, 8, 10}}},
        {"2-octet subpacket length",
         true,
         Bytes{0xc0, 0x00, 0x10} + filler(191),
         true,
         {{0x10, 191, 194}}},
        {"zero length", true, {0x00}, false, {}},
        {"length past the area", true, {0x09, 0x10, 1, 2}, false, {}},
        {"partial length octet", true, {0xe0, 0x10}, false, {}},
        {"two, then a cut one", true, {0x02, 0x1b, 0x03, 0x05, 0x02, 1}, false, {{0x1b, 1, 3}}},
    };
    for (const SeqCase& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.subpackets) {
            checkSequence<PGPSubPacketSeq>(c);
        } else {
            checkSequence<PGPPacketSeq>(c);
        }
    }
}

const Bytes kIdA = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const Bytes kIdB = {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

Bytes issuer(const Bytes& id, uint8_t type = 16) {
    return Bytes{9, type} + id;
}
Bytes creation(uint32_t t) {
    return {5, 2, uint8_t(t >> 24), uint8_t(t >> 16), uint8_t(t >> 8), uint8_t(t)};
}

// An old-format signature packet around a body.
Bytes packet(const Bytes& body) {
    return Bytes{0x89, uint8_t(body.size() >> 8), uint8_t(body.size())} + body;
}

Bytes v4Body(uint8_t sigType, const Bytes& hashed, const Bytes& unhashed) {
    return Bytes{4, sigType, 1, 8, uint8_t(hashed.size() >> 8), uint8_t(hashed.size())} + hashed +
           Bytes{uint8_t(unhashed.size() >> 8), uint8_t(unhashed.size())} + unhashed +
           Bytes{0xaa, 0xbb, 0x00, 0x08, 0xff};
}

Bytes v3Body(uint8_t hashedLength) {
    return Bytes{3, hashedLength, 0x00, 0x5f, 0x00, 0x00, 0x01} + kIdB +
           Bytes{17, 2, 0xaa, 0xbb, 0x00};
}

Bytes cut(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

struct SigCase {
    const char* what;
    Bytes data;
    bool ok;
    uint8_t version;
    Bytes keyId;        // empty: none
    int64_t time = -1;  // -1: none
};

TEST(PgpPacketTest, SignaturePackets) {
    const std::vector<SigCase> cases = {
        {"v4, issuer in the unhashed area", packet(v4Body(0, creation(77), issuer(kIdA))), true, 4,
         kIdA, 77},
        {"v4, issuer in both areas: the hashed one wins",
         packet(v4Body(0, issuer(kIdB) + creation(5), issuer(kIdA))), true, 4, kIdB, 5},
        {"v4, the first of two issuers", packet(v4Body(0, issuer(kIdA) + issuer(kIdB), {})), true,
         4, kIdA},
        {"v4, canonical text: nothing taken",
         packet(v4Body(1, creation(9), issuer(kIdA))),
         true,
         4,
         {}},
        {"v4, critical issuer is not an issuer",
         packet(v4Body(0, {}, issuer(kIdA, 0x90))),
         true,
         4,
         {}},
        {"v4, issuer too short", packet(v4Body(0, {}, {0x05, 16, 1, 2, 3, 4})), false, 4, {}},
        {"v4, time too short", packet(v4Body(0, {0x03, 2, 1, 2}, {})), false, 4, {}},
        {"v4, hashed area longer than the packet",
         packet({4, 0, 1, 8, 0x00, 0x20, 1, 2}),
         false,
         4,
         {}},
        {"v4, no unhashed length",
         packet(Bytes{4, 0, 1, 8, 0x00, 0x06} + creation(1)),
         false,
         4,
         {}},
        {"v4, unhashed area longer than the packet",
         packet(Bytes{4, 0, 1, 8, 0, 0, 0x01, 0x00} + issuer(kIdA)),
         false,
         4,
         {}},
        {"v4, shorter than 6 octets", packet({4, 0, 1, 8}), false, 4, {}},
        {"v3", packet(v3Body(5)), true, 3, kIdB, 0x5f000001},
        {"v3, hashed-material length 4", packet(v3Body(4)), false, 3, {}},
        {"v3, 16 octets", packet(cut(v3Body(5), 16)), false, 3, {}},
        {"version 5", packet({5, 0, 1, 8, 0, 0, 0, 0}), false, 5, {}},
        {"no signature packet", {0xc6, 0x01, 0x04}, false, 0, {}},
        {"empty signature packet", {0x88, 0x00}, false, 0, {}},
        {"the first signature packet after a key packet",
         Bytes{0xc6, 0x01, 0x04} + packet(v4Body(0, {}, issuer(kIdA))) + packet(v3Body(5)), true, 4,
         kIdA},
    };
    for (const SigCase& c : cases) {
        SCOPED_TRACE(c.what);
        PGPPacketSeq seq;
        ASSERT_TRUE(seq.append(c.data.data(), c.data.size()));
        LogCapture log;
        PGPSigData sig;
        EXPECT_EQ(sig.parseFirst(seq), c.ok);
        EXPECT_EQ(sig.version, c.version);
        if (c.ok) {
            EXPECT_EQ(sig.hasKeyId, !c.keyId.empty());
            EXPECT_EQ(sig.hasTime, c.time >= 0);
            EXPECT_EQ(sig.time, c.time >= 0 ? c.time : 0);
            if (sig.hasKeyId) {
                EXPECT_EQ(Bytes(sig.keyId.begin(), sig.keyId.end()), c.keyId);
            }
        }
        EXPECT_EQ(log.count("ERROR: signature packet version 5 unknown"), c.version == 5 ? 1 : 0);
    }
    PGPKeyId id;
    std::copy(kIdA.begin(), kIdA.end(), id.begin());
    EXPECT_EQ(keyIdToHex(id), "0123456789abcdef");
}

}  // namespace
