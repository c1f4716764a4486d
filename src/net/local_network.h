// Whether a server lies in a network this machine is directly attached to
// (such servers are reached without the proxy).
#pragma once

#include <ifaddrs.h>
#include <netdb.h>
#include <sys/socket.h>

#include <string>
#include <vector>

// True when the address lies in the interface's network: same family, and
// equal to the interface's address in every bit of its netmask.
bool inNetwork(const struct sockaddr* address, const struct ifaddrs* interface);

// The IPv4 and IPv6 addresses of the list that lie in the network of one of
// the interfaces, in list order.
std::vector<struct sockaddr_storage> addressesInNetworks(const struct addrinfo* addresses,
                                                         const struct ifaddrs* interfaces);

// Resolves the host (a bracketed IPv6 literal as a number) and gives those of
// its addresses that lie in a network of this machine's interfaces. False,
// after an Error line, when the host cannot be resolved or the interfaces
// cannot be listed.
bool findLocalAddresses(const std::string& host, std::vector<struct sockaddr_storage>& local);
