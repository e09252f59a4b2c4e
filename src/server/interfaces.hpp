#pragma once

// The machine's own addresses, as its network interfaces hold them.

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

// An IPv4 address as a number in host byte order: 192.0.2.1 is 0xC0000201.
using Ipv4Address = std::uint32_t;

// One IPv4 address of a network interface, in the system's order.
struct InterfaceAddress {
  Ipv4Address address = 0;
  bool up = false;
  bool loopback = false; // the interface is a loopback one
};

// The IPv4 addresses of the machine's network interfaces; none when they cannot be read.
std::vector<InterfaceAddress> readInterfaceAddresses();

// One IPv6 address of a network interface, as the kernel lists it.
struct Ipv6InterfaceAddress {
  std::array<unsigned char, 16> bytes{};
  unsigned scope = 0; // 0 for global, 0x20 for link-local, 0x10 for the host itself
  unsigned flags = 0; // IFA_F_*: temporary 0x01, deprecated 0x20, tentative 0x40, ...
};

// The addresses of `text`, in the form of /proc/net/if_inet6; lines that are not such are
// passed over.
std::vector<Ipv6InterfaceAddress> parseIpv6Addresses(std::string_view text);

// The IPv6 addresses of the machine's interfaces; none when they cannot be read.
std::vector<Ipv6InterfaceAddress> readIpv6Addresses();
