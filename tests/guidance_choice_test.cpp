// Which local address the start-up guidance names for the router to forward to.

#include "server/guidance.hpp"

#include <gtest/gtest.h>

namespace {

constexpr Ipv4Address address(unsigned a, unsigned b, unsigned c, unsigned d) {
  return a << 24 | b << 16 | c << 8 | d;
}

const ResolvedAddress ipv6{false, 0};
ResolvedAddress v4(Ipv4Address a) {
  return {true, a};
}

TEST(ForwardingTarget, NamesTheFirstReachableIPv4Address) {
  const Ipv4Address lan = address(192, 168, 1, 20);
  const Ipv4Address other = address(198, 51, 100, 7);
  const Ipv4Address loopback = address(127, 0, 1, 1);
  const std::vector<InterfaceAddress> interfaces{{address(127, 0, 0, 1), true, true},
                                                 {address(10, 0, 0, 1), false, false},
                                                 {lan, true, false},
                                                 {other, true, false}};
  struct Case {
    const char *what;
    std::vector<ResolvedAddress> resolved;
    std::vector<InterfaceAddress> interfaces;
    std::optional<Ipv4Address> target;
  };
  const Case cases[] = {
      {"IPv6 listed first", {ipv6, v4(other)}, interfaces, other},
      {"several IPv4 addresses: the first", {v4(other), v4(lan)}, interfaces, other},
      {"no IPv4 address: no advice", {ipv6}, interfaces, std::nullopt},
      {"nothing resolved: no advice", {}, interfaces, std::nullopt},
      {"only loopback: the first interface that is up and reachable",
       {v4(loopback)},
       interfaces,
       lan},
      {"loopback before a reachable address", {v4(loopback), v4(other)}, interfaces, other},
      {"only loopback, no interface to name",
       {v4(loopback)},
       {interfaces[0], interfaces[1]},
       std::nullopt},
      {"a loopback address on an interface not flagged loopback",
       {v4(loopback)},
       {{address(127, 0, 0, 2), true, false}, {lan, true, false}},
       lan},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(forwardingTarget(c.resolved, c.interfaces), c.target) << c.what;
  }
}

} // namespace
