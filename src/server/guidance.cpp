#include "server/server.hpp"

#include <asio.hpp>

#include <iostream>
#include <optional>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

using asio::ip::address_v4;
using asio::ip::tcp;

namespace {

// The first IPv4 address of an interface that is up and can be reached from a router.
std::optional<address_v4> firstInterfaceAddress() {
  ifaddrs *interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) {
    return std::nullopt; // advice only: no address, no advice
  }
  std::optional<address_v4> found;
  for (const ifaddrs *entry = interfaces; entry != nullptr && !found; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    const auto *ipv4 = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
    const address_v4 address(ntohl(ipv4->sin_addr.s_addr));
    if (!address.is_loopback()) {
      found = address;
    }
  }
  ::freeifaddrs(interfaces);
  return found;
}

// The address the router must forward to. A loopback address is never it: no router can
// reach one, yet stock /etc/hosts files map the host name to 127.0.1.1.
std::optional<address_v4> forwardingTarget(const tcp::resolver::results_type &results) {
  bool resolvedToLoopback = false;
  for (const auto &result : results) {
    const tcp::endpoint endpoint = result.endpoint();
    if (!endpoint.address().is_v4()) {
      continue;
    }
    if (!endpoint.address().is_loopback()) {
      return endpoint.address().to_v4();
    }
    resolvedToLoopback = true;
  }
  return resolvedToLoopback ? firstInterfaceAddress() : std::nullopt;
}

void printGuidance(const address_v4 &address, std::int32_t port) {
  const std::string a = address.to_string();
  std::cout << "Please ensure port forwarding from external IP to local IP " << a << " is enabled."
            << std::endl;
  std::cout << "Please ensure your board WiFi and external IP are configured." << std::endl;
  std::cout << "Example: Board(s) configured to report to external IP 111.222.333.444\n"
               "    Local machine IP address is "
            << a
            << ", and for that local IP:\n"
               "    External IP start port: 8080, external IP end port: 277\n"
               "    Local IP start port: 277, local IP end port to land on this server:"
            << port << std::endl;
}

} // namespace

void showSetupGuidance(std::int32_t port) {
  try {
    asio::io_context io_context;
    tcp::resolver resolver(io_context);
    const auto results =
        resolver.resolve(asio::ip::host_name(), "", tcp::resolver::address_configured);
    if (const auto address = forwardingTarget(results)) {
      printGuidance(*address, port);
    }
  } catch (const std::exception &e) {
    // Advice only: the collector serves all the same.
    std::cerr << "Exception: " << e.what() << std::endl;
  }
}
