#include "rpmdb/pgp_packet.h"

#include <gtest/gtest.h>

#include <regex>

#include <vector>

#include "harness/log_capture.h"
#include "rpmdb/pgp_armor.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes filler(size_t n) {
    return Bytes(n, 0x5a);
}

// "tag/body length/size" of each packet appended, also when the sequence fails.
template <typename Seq>
std::string sequenceText(const Bytes& data, bool ok) {
    Seq seq;
    EXPECT_EQ(seq.append(data.data(), data.size()), ok);
    std::string text;
    size_t offset = 0;
    for (size_t i = 0; i < seq.size(); ++i) {
        text += (i ? " " : "") + std::to_string(seq[i].tag) + "/" + std::to_string(seq[i].blen) +
                "/" + std::to_string(seq[i].size);
        // The body points into the input, right before the packet's end.
        EXPECT_EQ(seq[i].body, data.data() + offset + seq[i].size - seq[i].blen);
        offset += seq[i].size;
    }
    return text;
}

TEST(PgpPacketTest, PacketSequencesAndSubpacketAreas) {
    const struct {
        const char* what;
        bool subpackets;
        Bytes data;
        bool ok;
        const char* packets;
    } cases[] = {
        {"empty input", false, {}, true, ""},
        {"old format, 1-octet length", false, {0x88, 0x02, 0xab, 0xcd}, true, "2/2/4"},
        {"old format, 2-octet length", false, Bytes{0x89, 0x00, 0x03} + filler(3), true, "2/3/6"},
        {"old format, 4-octet length", false, {0x8a, 0, 0, 0, 1, 0x11}, true, "2/1/6"},
        {"old format, indeterminate length", false, {0x8b, 1, 2, 3}, true, "2/3/4"},
        {"old format, 300 declared in 100", false, Bytes{0x89, 1, 0x2c} + filler(97), false, ""},
        {"old format, length octets missing", false, {0x89, 0x01}, false, ""},
        {"new format, 1-octet length", false, {0xc2, 0x02, 0xab, 0xcd}, true, "2/2/4"},
        {"new format, 2-octet length", false, Bytes{0xc2, 0xc0, 0} + filler(192), true,
         "2/192/195"},
        {"new format, 5-octet length", false, Bytes{0xc2, 0xff, 0, 0, 0, 3} + filler(3), true,
         "2/3/9"},
        {"new format, partial body length", false, Bytes{0xc2, 0xe1} + filler(2), false, ""},
        {"new format, no length", false, {0xc2}, false, ""},
        {"new format, 2-octet length cut", false, {0xc2, 0xc5}, false, ""},
        {"new format, 5-octet length cut", false, {0xc2, 0xff, 0, 0}, false, ""},
        {"new format, body runs past the data", false, {0xc2, 0x05, 0x01}, false, ""},
        {"bit 7 clear", false, {0x08, 0x00}, false, ""},
        {"two packets", false, {0x88, 0x01, 0x00, 0xc6, 0x00}, true, "2/1/3 6/0/2"},
        {"a good packet, then junk", false, {0x88, 0x01, 0x00, 0x08}, false, "2/1/3"},
        {"empty area", true, {}, true, ""},
        {"creation time", true, {0x05, 0x02, 1, 2, 3, 4}, true, "2/4/6"},
        {"critical issuer keeps bit 7", true, Bytes{0x09, 0x90} + filler(8), true, "144/8/10"},
        {"2-octet subpacket length", true, Bytes{0xc0, 0, 0x10} + filler(191), true, "16/191/194"},
        {"zero length", true, {0x00}, false, ""},
        {"length past the area", true, {0x09, 0x10, 1, 2}, false, ""},
        {"partial length octet", true, {0xe0, 0x10}, false, ""},
        {"two, then a cut one", true, {0x02, 0x1b, 0x03, 0x05, 0x02, 1}, false, "27/1/3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.subpackets ? sequenceText<PGPSubPacketSeq>(c.data, c.ok)
                               : sequenceText<PGPPacketSeq>(c.data, c.ok),
                  c.packets)
            << c.what;
    }
}

const Bytes kIdA = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const Bytes kIdB = {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
const char* const kA = "0123456789abcdef";
const char* const kB = "fedcba9876543210";

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

Bytes v4(uint8_t sigType, const Bytes& hashed, const Bytes& unhashed, uint8_t hash = 8) {
    return Bytes{4, sigType, 1, hash, uint8_t(hashed.size() >> 8), uint8_t(hashed.size())} +
           hashed +
           Bytes{uint8_t(unhashed.size() >> 8), uint8_t(unhashed.size())} + unhashed +
           Bytes{0xaa, 0xbb, 0x00, 0x08, 0xff};
}

Bytes v3(uint8_t hashedLength, size_t size = 20) {
    Bytes body = Bytes{3, hashedLength, 0x00, 0x5f, 0x00, 0x00, 0x01} + kIdB +
                 Bytes{17, 2, 0xaa, 0xbb, 0x00};
    body.resize(size);
    return body;
}

TEST(PgpPacketTest, SignaturePackets) {
    const struct {
        const char* what;
        Bytes data;
        bool ok;
        uint8_t version;
        const char* keyId;  // "": none
        int64_t time;       // -1: none
        int64_t signedAt;   // documentSignatureTime of all the packets; -1: none
    } cases[] = {
        {"v4, issuer unhashed", packet(v4(0, creation(77), issuer(kIdA))), true, 4, kA, 77, 77},
        {"v4, the hashed issuer wins", packet(v4(0, issuer(kIdB) + creation(5), issuer(kIdA))),
         true, 4, kB, 5, 5},
        {"v4, the first of two issuers", packet(v4(0, issuer(kIdA) + issuer(kIdB), {})), true, 4,
         kA, -1, -1},
        {"v4, canonical text: nothing taken", packet(v4(1, creation(9), issuer(kIdA))), true, 4, "",
         -1, 9},
        {"v4, critical issuer is none", packet(v4(0, {}, issuer(kIdA, 0x90))), true, 4, "", -1, -1},
        {"v4, issuer too short", packet(v4(0, {}, {0x05, 16, 1, 2, 3, 4})), false, 4, "", -1, -1},
        {"v4, time too short", packet(v4(0, {0x03, 2, 1, 2}, {})), false, 4, "", -1, -1},
        {"v4, hashed area too long", packet({4, 0, 1, 8, 0x00, 0x20, 1, 2}), false, 4, "", -1, -1},
        {"v4, no unhashed length", packet(Bytes{4, 0, 1, 8, 0, 6} + creation(1)), false, 4, "", -1,
         -1},
        {"v4, unhashed area too long", packet(Bytes{4, 0, 1, 8, 0, 0, 1, 0} + issuer(kIdA)), false,
         4, "", -1, -1},
        {"v4, shorter than 6 octets", packet({4, 0, 1, 8}), false, 4, "", -1, -1},
        {"v3", packet(v3(5)), true, 3, kB, 0x5f000001, 0x5f000001},
        {"v3, hashed-material length 4", packet(v3(4)), false, 3, "", -1, -1},
        {"v3, 16 octets", packet(v3(5, 16)), false, 3, "", -1, -1},
        {"version 5", packet({5, 0, 1, 8, 0, 0, 0, 0}), false, 5, "", -1, -1},
        {"no signature packet", {0xc6, 0x01, 0x04}, false, 0, "", -1, -1},
        {"empty signature packet", {0x88, 0x00}, false, 0, "", -1, -1},
        {"the first signature packet after a key packet",
         Bytes{0xc6, 0x01, 0x04} + packet(v4(0, {}, issuer(kIdA))) + packet(v3(5)), true, 4, kA,
         -1, -1},
        // The signing time is signed: the unhashed area does not count.
        {"v4, time in the unhashed area only", packet(v4(0, {}, creation(50))), true, 4, "", 50,
         -1},
        {"v4, critical time", packet(v4(0, {5, 0x82, 0, 0, 0, 60}, {})), true, 4, "", -1, 60},
        {"two signatures: the newer one", packet(v4(0, creation(20), {}, 2)) + packet(v3(5)), true,
         4, "", 20, 0x5f000001},
        // gpgv checks the first one alone when types or hash algorithms differ.
        {"a certification after the signature",
         packet(v4(0, creation(20), {})) + packet(v4(0x13, creation(90), {})), true, 4, "", 20, 20},
        {"two hash algorithms",
         packet(v4(0, creation(20), {})) + packet(v4(0, creation(90), {}, 10)), true, 4, "", 20,
         20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PGPPacketSeq seq;
        ASSERT_TRUE(seq.append(c.data.data(), c.data.size()));
        LogCapture log;
        PGPSigData sig;
        EXPECT_EQ(sig.parseFirst(seq), c.ok);
        EXPECT_EQ(sig.version, c.version);
        if (c.ok) {
            EXPECT_EQ(sig.hasKeyId ? keyIdToHex(sig.keyId) : "", c.keyId);
            EXPECT_EQ(sig.hasTime ? int64_t{sig.time} : -1, c.time);
            EXPECT_TRUE(sig.hasTime || sig.time == 0);
        }
        uint32_t signedAt = 0;
        EXPECT_EQ(documentSignatureTime(seq, signedAt) ? int64_t{signedAt} : -1, c.signedAt);
        EXPECT_EQ(log.count("ERROR: signature packet version 5 unknown"), c.version == 5 ? 2 : 0);
    }
}

// Made by gpg on 2024-01-01 and 2024-06-01.
const std::string kJanuary = R"(-----BEGIN PGP SIGNATURE-----

iQEzBAABCgAdFiEEK6dmXLutdqroFoaVCwFzJ53rhUkFAmWSAIAACgkQCwFzJ53r
hUlh4AgAygUNn+cWd+lby5NObeTtWtWmp3dUX9YCoAV5aXC8AF1Iq3BzApy4RgWd
as/WfRqpc7u2hfhdkA/xeUO243eDYTYHmjzwk2qyUV9mOGZuhARO/XojZio9bl2X
DPrXsRoC5FD9fz5NKDs4WcyPDd4zoploAeur2QYKKRt0ufZpsM26k3Tz9VtRuaGS
ObYoRiwecTPkOzx3Kn7Fa7kSCFwKjgaw9Kbc6ZOc0/xYADFD7I2xIiWf/PjJfzw7
j3e3C3nYBYjAC7D+FOhO/FeZ8SptAqvnKQoGOboVjRKHJ+w0WgkaOmbufuwRkaX/
pTIspj1gOmnPNgvcMxe/na50bJamRw==
=WRCI
-----END PGP SIGNATURE-----
)";
const std::string kJune = R"(-----BEGIN PGP SIGNATURE-----

iQEzBAABCgAdFiEEBA6uW3+ZhWNQl10rJEvEXkuDAt4FAmZaZIAACgkQJEvEXkuD
At53mgf/bl18x3XcqbqMtgt/IMcYtZPV9XWYgPKFlZRtz2pAiTJIgmcNydFr3zHI
M2TwLwxtP2NpjhvudsruwMew3YTkJOc/N5114uieVGn/8y3hO6kZOO4LqZJ7Yl9r
KpjUprxcHZx7xD15zYqOSlTksaaZYhyj6aXWXJ93q9zD6bJaRjvg9TpAJM6bGs+n
PhPzOTC4YF1Pz7ubOZCFg/I/L1SWAmAlZv5oi9I/X5Tum3foAulXiqQ2Slm5y9pa
4drtOQh6sn5vt3G+expjWUMAWSKkMJDm/ycycoYCsDC2TzxSYsGXt25N5YOE3k2R
ciJFYpr/Vz7od2Rpm76GkKIr5hgx7Q==
=iZYY
-----END PGP SIGNATURE-----
)";

int64_t fileTime(const std::string& file) {
    std::string bytes;
    PGPPacketSeq seq;
    uint32_t time = 0;
    return signatureFilePackets(file, bytes) &&
                   seq.append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) &&
                   documentSignatureTime(seq, time)
               ? int64_t{time}
               : -1;
}

std::string edit(const std::string& text, const char* pattern, const char* by) {
    return std::regex_replace(text, std::regex(pattern), by);
}

TEST(PgpPacketTest, ArmoredAndBinarySignatureFiles) {
    const int64_t january = 1704067200, june = 1717200000;
    std::string binary;
    ASSERT_TRUE(signatureFilePackets(kJanuary, binary));
    const struct {
        const char* what;
        std::string file;
        int64_t time;  // -1: refused
    } cases[] = {
        {"as gpg made it", kJanuary, january},
        {"binary", binary, january},
        {"text around it, a header, CR LF", "note\n" + edit(kJanuary, "\n\n", "\nVersion: x\n\n") +
                                               "more\n", january},
        {"CR LF", edit(kJanuary, "\n", "\r\n"), january},
        {"without checksum", edit(kJanuary, "=WRCI\n", ""), january},
        {"two blocks: the newer one", kJune + "\n" + kJanuary, june},
        {"checksum of other data", edit(kJanuary, "=WRCI", "=WRCJ"), -1},
        {"a byte changed", edit(kJanuary, "pTIs", "pTIt"), -1},
        {"header not closed", edit(kJanuary, "\n\n", "\n"), -1},
        {"a header that is no header", edit(kJanuary, "\n\n", "\nVersion x\n\n"), -1},
        {"an empty line inside", edit(kJanuary, "hUlh", "\nhUlh"), -1},
        {"no end", edit(kJanuary, "-----END PGP SIGNATURE-----\n", ""), -1},
        {"a block of another kind", kJanuary + edit(kJune, "SIGNATURE", "MESSAGE"), -1},
        {"no block", "iQEzBAABCgAdFiEEK6dmXLutdqro\n", -1},
        {"empty file", "", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fileTime(c.file), c.time) << c.what;
    }
}

}  // namespace
