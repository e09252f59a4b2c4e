#include "server/interfaces.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

namespace {

// Frees the list on every path.
struct InterfaceList {
  ifaddrs *first = nullptr;
  InterfaceList() = default;
  InterfaceList(const InterfaceList &) = delete;
  InterfaceList &operator=(const InterfaceList &) = delete;
  ~InterfaceList() {
    if (first != nullptr) {
      ::freeifaddrs(first);
    }
  }
};

} // namespace

std::vector<InterfaceAddress> readInterfaceAddresses() {
  std::vector<InterfaceAddress> addresses;
  InterfaceList list;
  if (::getifaddrs(&list.first) != 0) {
    return addresses; // advice only: no address, no advice
  }
  for (const ifaddrs *entry = list.first; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
      continue;
    }
    const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
    addresses.push_back({ntohl(ipv4->sin_addr.s_addr), (entry->ifa_flags & IFF_UP) != 0,
                         (entry->ifa_flags & IFF_LOOPBACK) != 0});
  }
  return addresses;
}
