#include "server/interfaces.hpp"

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

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

std::vector<Ipv6InterfaceAddress> parseIpv6Addresses(std::string_view text) {
  std::vector<Ipv6InterfaceAddress> addresses;
  std::istringstream lines{std::string(text)};
  std::string hex;
  std::string index;
  std::string prefix;
  std::string scope;
  std::string flags;
  std::string name;
  while (lines >> hex >> index >> prefix >> scope >> flags >> name) {
    if (hex.size() != 32 || hex.find_first_not_of("0123456789abcdef") != std::string::npos) {
      continue;
    }
    Ipv6InterfaceAddress address;
    for (std::size_t i = 0; i < address.bytes.size(); ++i) {
      address.bytes.at(i) =
          static_cast<unsigned char>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    address.scope = static_cast<unsigned>(std::stoul(scope, nullptr, 16));
    address.flags = static_cast<unsigned>(std::stoul(flags, nullptr, 16));
    addresses.push_back(address);
  }
  return addresses;
}

std::vector<Ipv6InterfaceAddress> readIpv6Addresses() {
  std::ifstream file("/proc/net/if_inet6");
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return parseIpv6Addresses(text); // none when IPv6 is off: no advice
}
