// Which server addresses count as local (reached without the proxy), on
// hand-made interface and address lists.
#include "net/local_network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>
#include <string>

#include "harness/log_capture.h"

namespace {

// A socket address from its text form (IPv4 or IPv6).
struct sockaddr_storage addressOf(const char* text) {
    struct sockaddr_storage storage;
    memset(&storage, 0, sizeof(storage));
    auto* in = reinterpret_cast<struct sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, text, &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, text, &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
    } else {
        ADD_FAILURE() << "bad address " << text;
    }
    return storage;
}

std::string textOf(const struct sockaddr_storage& address) {
    char buffer[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const struct sockaddr_in*>(&address)->sin_addr, buffer,
                  sizeof(buffer));
    } else {
        inet_ntop(AF_INET6, &reinterpret_cast<const struct sockaddr_in6*>(&address)->sin6_addr,
                  buffer, sizeof(buffer));
    }
    return buffer;
}

// One interface: its address and netmask.
struct Interface {
    struct sockaddr_storage address;
    struct sockaddr_storage mask;
    struct ifaddrs entry;

    Interface(const char* addressText, const char* maskText)
        : address(addressOf(addressText)), mask(addressOf(maskText)) {
        memset(&entry, 0, sizeof(entry));
        entry.ifa_addr = reinterpret_cast<struct sockaddr*>(&address);
        entry.ifa_netmask = reinterpret_cast<struct sockaddr*>(&mask);
    }
};

TEST(LocalNetwork, AnAddressIsInTheNetworkOfAnInterfaceWhenItsMaskedBitsAgree) {
    const struct {
        const char* address;
        const char* interface;
        const char* mask;
        bool in;
    } cases[] = {
        {"192.168.7.20", "192.168.7.1", "255.255.255.0", true},
        {"192.168.8.20", "192.168.7.1", "255.255.255.0", false},
        {"10.1.2.3", "10.200.0.1", "255.0.0.0", true},
        {"10.0.0.2", "10.0.0.1", "255.255.255.255", false},
        {"10.0.0.1", "10.0.0.1", "255.255.255.255", true},
        {"203.0.113.9", "192.168.7.1", "0.0.0.0", true},
        {"fd00:1::5", "fd00:1::1", "ffff:ffff:ffff:ffff::", true},
        {"fd00:2::5", "fd00:1::1", "ffff:ffff:ffff:ffff::", false},
        {"::1", "::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", true},
        {"192.168.7.20", "fd00:1::1", "ffff:ffff:ffff:ffff::", false},
        {"fd00:1::5", "192.168.7.1", "255.255.255.0", false},
    };
    for (const auto& c : cases) {
        Interface interface(c.interface, c.mask);
        struct sockaddr_storage address = addressOf(c.address);
        EXPECT_EQ(inNetwork(reinterpret_cast<struct sockaddr*>(&address), &interface.entry), c.in)
            << c.address << " in " << c.interface << "/" << c.mask;
    }
    // An interface without an address or netmask holds no network.
    Interface bare("192.168.7.1", "255.255.255.0");
    struct sockaddr_storage address = addressOf("192.168.7.20");
    bare.entry.ifa_netmask = nullptr;
    EXPECT_FALSE(inNetwork(reinterpret_cast<struct sockaddr*>(&address), &bare.entry));
    bare.entry.ifa_netmask = bare.entry.ifa_addr;
    bare.entry.ifa_addr = nullptr;
    EXPECT_FALSE(inNetwork(reinterpret_cast<struct sockaddr*>(&address), &bare.entry));
}

TEST(LocalNetwork, OnlyTheLocalAddressesOfAHostAreKeptInTheirOrder) {
    Interface lan("192.168.7.1", "255.255.255.0");
    Interface ula("fd00:1::1", "ffff:ffff:ffff:ffff::");
    lan.entry.ifa_next = &ula.entry;

    const char* texts[] = {"203.0.113.9", "192.168.7.20", "fd00:9::1", "fd00:1::7", "192.168.7.21"};
    struct sockaddr_storage addresses[5];
    struct addrinfo infos[6];
    memset(infos, 0, sizeof(infos));
    for (int i = 0; i < 5; ++i) {
        addresses[i] = addressOf(texts[i]);
        infos[i].ai_addr = reinterpret_cast<struct sockaddr*>(&addresses[i]);
        infos[i].ai_next = &infos[i + 1];
    }
    // An entry without an address is passed over.
    infos[5].ai_next = nullptr;
    std::vector<struct sockaddr_storage> local = addressesInNetworks(infos, &lan.entry);
    std::vector<std::string> found;
    for (const auto& address : local) {
        found.push_back(textOf(address));
    }
    EXPECT_EQ(found, (std::vector<std::string>{"192.168.7.20", "fd00:1::7", "192.168.7.21"}));
    EXPECT_TRUE(addressesInNetworks(infos, nullptr).empty());
}

TEST(LocalNetwork, TheLoopbackHostIsLocalAndAnUnresolvableOneFails) {
    std::vector<struct sockaddr_storage> local;
    ASSERT_TRUE(findLocalAddresses("127.0.0.1", local));
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(textOf(local[0]), "127.0.0.1");

    LogCapture log;
    EXPECT_FALSE(findLocalAddresses("[not-a-number]", local));
    EXPECT_TRUE(local.empty());
    EXPECT_TRUE(log.contains("ERROR: failed resolving address 'not-a-number' (")) << log.text();
}

}  // namespace
