#pragma once

// The machine's own addresses, as its network interfaces hold them.

#include <cstdint>
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
