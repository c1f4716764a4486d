#include "net/local_network.h"

#include <netinet/in.h>

#include <cstring>
#include <memory>

#include "support/logger.h"

namespace {

struct AddrInfoDeleter {
    void operator()(struct addrinfo* info) const { freeaddrinfo(info); }
};

struct IfAddrsDeleter {
    void operator()(struct ifaddrs* list) const { freeifaddrs(list); }
};

}  // namespace

bool inNetwork(const struct sockaddr* address, const struct ifaddrs* interface) {
    if (interface->ifa_addr == nullptr || interface->ifa_netmask == nullptr ||
        interface->ifa_addr->sa_family != address->sa_family ||
        interface->ifa_netmask->sa_family != address->sa_family) {
        return false;
    }
    if (address->sa_family == AF_INET) {
        auto addr = reinterpret_cast<const struct sockaddr_in*>(address)->sin_addr.s_addr;
        auto local =
            reinterpret_cast<const struct sockaddr_in*>(interface->ifa_addr)->sin_addr.s_addr;
        auto mask =
            reinterpret_cast<const struct sockaddr_in*>(interface->ifa_netmask)->sin_addr.s_addr;
        return ((addr ^ local) & mask) == 0;
    }
    if (address->sa_family != AF_INET6) {
        return false;
    }
    const auto* addr = reinterpret_cast<const struct sockaddr_in6*>(address)->sin6_addr.s6_addr;
    const auto* local =
        reinterpret_cast<const struct sockaddr_in6*>(interface->ifa_addr)->sin6_addr.s6_addr;
    const auto* mask =
        reinterpret_cast<const struct sockaddr_in6*>(interface->ifa_netmask)->sin6_addr.s6_addr;
    for (int i = 0; i < 16; ++i) {
        if (((addr[i] ^ local[i]) & mask[i]) != 0) {
            return false;
        }
    }
    return true;
}

std::vector<struct sockaddr_storage> addressesInNetworks(const struct addrinfo* addresses,
                                                         const struct ifaddrs* interfaces) {
    std::vector<struct sockaddr_storage> local;
    for (const struct addrinfo* a = addresses; a != nullptr; a = a->ai_next) {
        if (a->ai_addr == nullptr ||
            (a->ai_addr->sa_family != AF_INET && a->ai_addr->sa_family != AF_INET6)) {
            continue;
        }
        for (const struct ifaddrs* i = interfaces; i != nullptr; i = i->ifa_next) {
            if (inNetwork(a->ai_addr, i)) {
                struct sockaddr_storage copy;
                memset(&copy, 0, sizeof(copy));
                memcpy(&copy, a->ai_addr,
                       a->ai_addr->sa_family == AF_INET ? sizeof(struct sockaddr_in)
                                                        : sizeof(struct sockaddr_in6));
                local.push_back(copy);
                break;
            }
        }
    }
    return local;
}

bool findLocalAddresses(const std::string& name, std::vector<struct sockaddr_storage>& local) {
    local.clear();
    std::string host = name;
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        hints.ai_flags |= AI_NUMERICHOST;
    }
    struct addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        LOGE("failed resolving address '%s' (%s)", host.c_str(),
             rc == EAI_SYSTEM ? errnoString().c_str() : gai_strerror(rc));
        return false;
    }
    std::unique_ptr<struct addrinfo, AddrInfoDeleter> resolved(found);

    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        LOGE("failed getting local network addresses (%s)", errnoString().c_str());
        return false;
    }
    std::unique_ptr<struct ifaddrs, IfAddrsDeleter> interfaces(list);
    local = addressesInNetworks(resolved.get(), interfaces.get());
    return true;
}
