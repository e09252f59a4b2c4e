// Which local address the start-up guidance names for the router to forward to.

#include "server/guidance.hpp"
#include "server/sockets.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>

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

TEST(GlobalIpv6Target, PassesOverAddressesNoBoardShouldBeToldOf) {
  const std::string kernelList = "00000000000000000000000000000001 01 80 10 80       lo\n"
                                 "fe8000000000000088a74bfffe531fc0 03 40 20 c0    veth0\n"
                                 "fd000000000000000000000000000005 03 40 00 82    veth0\n"
                                 "20010db8000100020000000000000077 03 40 00 81    veth0\n"
                                 "20010db8000100020000000000000066 03 40 00 a0    veth0\n"
                                 "20010db8000100020000000000000055 03 40 00 c0    veth0\n"
                                 "20010db8000100020000000000000020 03 40 00 80    veth0\n";
  // Loopback, link-local, unique local, temporary, deprecated and tentative are passed over.
  EXPECT_EQ(globalIpv6Target(parseIpv6Addresses(kernelList)), "2001:db8:1:2::20");
  EXPECT_EQ(globalIpv6Target(parseIpv6Addresses(kernelList.substr(0, 200))), std::nullopt);
  EXPECT_EQ(globalIpv6Target(parseIpv6Addresses("not the kernel's list\n")), std::nullopt);
}

sockaddr_storage socketAddress(int family, const char *text) {
  sockaddr_storage address{};
  address.ss_family = static_cast<sa_family_t>(family);
  void *bytes = family == AF_INET
                    ? static_cast<void *>(&reinterpret_cast<sockaddr_in &>(address).sin_addr)
                    : static_cast<void *>(&reinterpret_cast<sockaddr_in6 &>(address).sin6_addr);
  EXPECT_EQ(::inet_pton(family, text, bytes), 1) << text;
  return address;
}

TEST(PeerAddress, IsShownAsItCame) {
  struct Case {
    int family;
    const char *sent, *shown;
  };
  const Case cases[] = {
      {AF_INET, "192.0.2.7", "192.0.2.7"},
      {AF_INET6, "::ffff:192.0.2.7", "192.0.2.7"}, // IPv4 to a dual-stack listener
      {AF_INET6, "2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2:aaaa:bbbb:cccc:dddd"},
      {AF_INET6, "::1", "::1"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(shownAddress(socketAddress(c.family, c.sent)), c.shown) << c.sent;
  }
}

} // namespace
