#pragma once

// The start-up guidance: which local address the router must forward the boards' reports to.

#include "server/interfaces.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One address that the machine's host name resolved to, in the resolver's order.
struct ResolvedAddress {
  bool isV4 = false;
  Ipv4Address v4 = 0; // when `isV4`
};

// The address to name: the first IPv4 address the host name resolved to, passing over
// loopback addresses, which no router can reach. When the name resolved only to loopback, as
// stock /etc/hosts files make it, the first reachable address of an interface that is up.
// Nothing when there is no such address: no advice then.
std::optional<Ipv4Address> forwardingTarget(const std::vector<ResolvedAddress> &resolved,
                                            const std::vector<InterfaceAddress> &interfaces);

// The address to name for boards that come over IPv6: the first global one, passing over
// temporary (privacy) addresses, which change, deprecated and tentative ones, and unique
// local ones (fc00::/7), which no board outside reaches. Nothing when there is none.
std::optional<std::string> globalIpv6Target(const std::vector<Ipv6InterfaceAddress> &addresses);

// Tells the operator which local address and `port` the router must forward to, and when the
// collector listens on IPv6 (`listen` is an IPv6 address, or "::"), which address boards
// reach without forwarding. Advice only: a failure is reported on standard error and never
// escapes.
void showSetupGuidance(std::int32_t port, const std::optional<std::string> &listen);
