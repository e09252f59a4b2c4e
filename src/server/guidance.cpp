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

} // namespace

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

void showSetupGuidance(std::int32_t port) {
  try {
    const auto resolved = resolveHostName();
    if (const auto address = forwardingTarget(resolved, readInterfaceAddresses())) {
      console::guidance(asio::ip::address_v4(*address).to_string(), port);
    }
  } catch (const std::exception &e) {
    // Advice only: the collector serves all the same.
    console::exception(e.what());
  }
}
