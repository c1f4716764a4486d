// libFuzzer target of the OpenPGP packet reader: the input is read as the
// header signature data of a package (a packet sequence whose first signature
// packet is parsed), and as a signature subpacket area.
#include <cstddef>
#include <cstdint>

#include "rpmdb/pgp_packet.h"
#include "support/logger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        theLogger().setLevel(LogLevel::Fatal);
        return true;
    }();
    (void)quiet;

    PGPPacketSeq packets;
    packets.append(data, size);
    for (const PGPPacket& packet : packets.packets()) {
        if (packet.tag == kPgpTagSignature) {
            PGPSigData sig;
            sig.parse(packet);
        }
    }
    PGPSigData first;
    if (first.parseFirst(packets) && first.hasKeyId) {
        keyIdToHex(first.keyId);
    }
    PGPSubPacketSeq subpackets;
    subpackets.append(data, size);
    return 0;
}
