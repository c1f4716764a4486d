// Which server addresses count as local (reached without the proxy), on
// hand-made interface and address lists.
#include "net/local_network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// A socket address from its text form (IPv4 or IPv6).
struct sockaddr_storage addressOf(const std::string& text) {
    struct sockaddr_storage storage = {};
    auto* in = reinterpret_cast<struct sockaddr_in*>(&storage);
    auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
    }
    return storage;
}

std::string textOf(const struct sockaddr_storage& a) {
    char buffer[INET6_ADDRSTRLEN] = {};
    const bool v4 = a.ss_family == AF_INET;
    inet_ntop(a.ss_family,
              v4 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&a)->sin_addr)
                 : &reinterpret_cast<const sockaddr_in6*>(&a)->sin6_addr,
              buffer, sizeof(buffer));
    return buffer;
}

// One interface with its address and netmask ("" for none).
struct Interface {
    struct sockaddr_storage address, mask;
    struct ifaddrs entry = {};
    Interface(const std::string& addressText, const std::string& maskText)
        : address(addressOf(addressText)), mask(addressOf(maskText)) {
        entry.ifa_addr = addressText.empty() ? nullptr : reinterpret_cast<sockaddr*>(&address);
        entry.ifa_netmask = maskText.empty() ? nullptr : reinterpret_cast<sockaddr*>(&mask);
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
        // An interface without an address or netmask holds no network.
        {"192.168.7.20", "192.168.7.1", "", false},
        {"192.168.7.20", "", "255.255.255.0", false},
    };
    for (const auto& c : cases) {
        Interface interface(c.interface, c.mask);
        struct sockaddr_storage address = addressOf(c.address);
        EXPECT_EQ(inNetwork(reinterpret_cast<struct sockaddr*>(&address), &interface.entry), c.in)
            << c.address << " in " << c.interface << "/" << c.mask;
    }
}

TEST(LocalNetwork, OnlyTheLocalAddressesOfAHostAreKeptInTheirOrder) {
    Interface lan("192.168.7.1", "255.255.255.0");
    Interface ula("fd00:1::1", "ffff:ffff:ffff:ffff::");
    lan.entry.ifa_next = &ula.entry;
    const char* texts[] = {"203.0.113.9", "192.168.7.20", "fd00:9::1", "fd00:1::7", "192.168.7.21"};
    struct sockaddr_storage addresses[5];
    struct addrinfo infos[6] = {};  // the last one has no address and is passed over
    for (int i = 0; i < 5; ++i) {
        addresses[i] = addressOf(texts[i]);
        infos[i].ai_addr = reinterpret_cast<struct sockaddr*>(&addresses[i]);
        infos[i].ai_next = &infos[i + 1];
    }
    std::vector<std::string> found;
    for (const auto& address : addressesInNetworks(infos, &lan.entry)) {
        found.push_back(textOf(address));
    }
    EXPECT_EQ(found, (std::vector<std::string>{"192.168.7.20", "fd00:1::7", "192.168.7.21"}));
    EXPECT_TRUE(addressesInNetworks(infos, nullptr).empty());
}

}  // namespace
