#pragma once

// The start-up guidance: which local address the router must forward the boards' reports to.

#include <cstdint>
#include <optional>
#include <vector>

// An IPv4 address as a number in host byte order: 192.0.2.1 is 0xC0000201.
using Ipv4Address = std::uint32_t;

// One address that the machine's host name resolved to, in the resolver's order.
struct ResolvedAddress {
  bool isV4 = false;
  Ipv4Address v4 = 0; // when `isV4`
};

// One IPv4 address of a network interface, in the system's order.
struct InterfaceAddress {
  Ipv4Address address = 0;
  bool up = false;
  bool loopback = false; // the interface is a loopback one
};

// The address to name: the first IPv4 address the host name resolved to, passing over
// loopback addresses, which no router can reach. When the name resolved only to loopback, as
// stock /etc/hosts files make it, the first reachable address of an interface that is up.
// Nothing when there is no such address: no advice then.
std::optional<Ipv4Address> forwardingTarget(const std::vector<ResolvedAddress> &resolved,
                                            const std::vector<InterfaceAddress> &interfaces);

// Tells the operator which local address and `port` the router must forward to.
// Advice only: a failure is reported on standard error and never escapes.
void showSetupGuidance(std::int32_t port);
