#include "server/guidance.hpp"

#include "server/console.hpp"
#include "server/interfaces.hpp"

#include <asio.hpp>

using asio::ip::tcp;

namespace {

bool isLoopback(Ipv4Address address) {
  return (address >> 24) == 127;
}

std::optional<Ipv4Address>
firstReachableInterface(const std::vector<InterfaceAddress> &interfaces) {
  for (const auto &entry : interfaces) {
    if (entry.up && !entry.loopback && !isLoopback(entry.address)) {
      return entry.address;
    }
  }
  return std::nullopt;
}

std::vector<ResolvedAddress> resolveHostName() {
  asio::io_context io_context;
  tcp::resolver resolver(io_context);
  std::vector<ResolvedAddress> resolved;
  for (const auto &result :
       resolver.resolve(asio::ip::host_name(), "", tcp::resolver::address_configured)) {
    const tcp::endpoint endpoint = result.endpoint();
    const auto address = endpoint.address();
    resolved.push_back({address.is_v4(), address.is_v4() ? address.to_v4().to_uint() : 0});
  }
  return resolved;
}

bool usable(const Ipv6InterfaceAddress &address) {
  // The kernel's IFA_F_ flags of an address no board should be sent to.
  constexpr unsigned avoided = 0x01 /* temporary */ | 0x08 /* failed its duplicate check */ |
                               0x20 /* deprecated */ | 0x40 /* tentative */;
  const bool uniqueLocal = (address.bytes[0] & 0xfeU) == 0xfcU;
  return address.scope == 0 && !uniqueLocal && (address.flags & avoided) == 0;
}

void showIpv4Guidance(std::int32_t port) {
  const auto resolved = resolveHostName();
  if (const auto address = forwardingTarget(resolved, readInterfaceAddresses())) {
    console::guidance(asio::ip::address_v4(*address).to_string(), port);
  }
}

} // namespace

std::optional<std::string> globalIpv6Target(const std::vector<Ipv6InterfaceAddress> &addresses) {
  for (const Ipv6InterfaceAddress &address : addresses) {
    if (usable(address)) {
      return asio::ip::address_v6(address.bytes).to_string();
    }
  }
  return std::nullopt;
}

std::optional<Ipv4Address> forwardingTarget(const std::vector<ResolvedAddress> &resolved,
                                            const std::vector<InterfaceAddress> &interfaces) {
  bool resolvedToLoopback = false;
  for (const auto &entry : resolved) {
    if (!entry.isV4) {
      continue;
    }
    if (!isLoopback(entry.v4)) {
      return entry.v4;
    }
    resolvedToLoopback = true;
  }
  return resolvedToLoopback ? firstReachableInterface(interfaces) : std::nullopt;
}

void showSetupGuidance(std::int32_t port, const std::optional<std::string> &listen) {
  try {
    std::error_code malformed;
    const asio::ip::address address = listen ? asio::ip::make_address(*listen, malformed)
                                             : asio::ip::address(asio::ip::address_v4::any());
    if (malformed) {
      return; // the listener says what is wrong with it
    }
    if (address.is_v4() || address.is_unspecified()) {
      showIpv4Guidance(port);
    }
    if (address.is_v6()) {
      const auto named = address.is_unspecified() ? globalIpv6Target(readIpv6Addresses())
                                                  : std::optional<std::string>(address.to_string());
      if (named) {
        console::guidanceIpv6(*named, port);
      }
    }
  } catch (const std::exception &e) {
    // Advice only: the collector serves all the same.
    console::exception(e.what());
  }
}
