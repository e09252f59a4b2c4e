// The PROXY protocol header a trusted proxy sends first, and the addresses trusted to send it.

#include "server/proxy_header.hpp"
#include "server/sockets.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

using Kind = ProxyHeader::Kind;

std::string binary(int versionCommand, int familyTransport, const std::string &body) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  for (const std::size_t byte : {std::size_t(versionCommand), std::size_t(familyTransport),
                                 body.size() >> 8U, body.size() & 0xffU}) {
    header += static_cast<char>(byte);
  }
  return header + body;
}

TEST(ProxyHeader, NamesTheBoardOrSaysWhyNot) {
  const std::string ports("\x9c\x40\x03\xe7", 4); // 40000, 999
  const std::string v4 = std::string("\xc0\x00\x02\x07\x0a\x00\x00\x01", 8) + ports;
  const std::string board6("\x20\x01\x0d\xb8\0\0\0\0\0\0\0\0\0\0\0\x07", 16);
  const std::string mapped("\0\0\0\0\0\0\0\0\0\0\xff\xff\xc0\x00\x02\x07", 16);
  const std::string tlv("\x04\x00\x03"
                        "abc",
                        6);
  const std::string longest = "PROXY TCP6 ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff "
                              "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535 65535\r\n";
  const struct {
    const char *what;
    std::string header, after;
    Kind kind;
    std::string source; // address and port, or the problem
  } cases[] = {
      {"v1 IPv4", "PROXY TCP4 192.0.2.7 10.0.0.1 40000 999\r\n", "AA,1\n", Kind::proxied,
       "192.0.2.7 40000"},
      {"v1 IPv6", "PROXY TCP6 2001:db8::7 2001:db8::1 40000 999\r\n", "", Kind::proxied,
       "2001:db8::7 40000"},
      {"v1 longest", longest, "AA,1\n", Kind::proxied,
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff 65535"},
      {"v1 unknown", "PROXY UNKNOWN\r\n", "AA,1\n", Kind::local, ""},
      {"v1 cut short", "PROXY TCP4 192.0.2.7 10.0.0.1 4\r", "", Kind::incomplete, ""},
      {"v1 too long", "PROXY TCP6 " + std::string(96, '1'), "", Kind::invalid, "longer than 107"},
      {"v1 IPv6 as TCP4", "PROXY TCP4 2001:db8::7 10.0.0.1 1 2\r\n", "", Kind::invalid,
       "invalid TCP4 address"},
      {"v1 port too big", "PROXY TCP4 192.0.2.7 10.0.0.1 65536 999\r\n", "", Kind::invalid,
       "invalid port"},
      {"v1 a field missing", "PROXY TCP4 192.0.2.7 10.0.0.1 40000\r\n", "", Kind::invalid,
       "without two addresses"},
      {"v1 lower case", "PROXY tcp4 192.0.2.7 10.0.0.1 1 2\r\n", "", Kind::invalid, "\"tcp4\""},
      {"v1 without CR", "PROXY TCP4 192.0.2.7 10.0.0.1 1 2\n", "", Kind::invalid, "CR"},
      {"v1 control byte", std::string("PROXY TCP4 192.0.2.7\0", 21), "", Kind::invalid,
       "control byte"},
      {"a report, no header", "AA:BB:CC:DD:EE:FF,21.5,40\n", "", Kind::invalid,
       "no PROXY protocol header"},
      {"v2 IPv4", binary(0x21, 0x11, v4), "AA,1\n", Kind::proxied, "192.0.2.7 40000"},
      {"v2 IPv6 and TLVs", binary(0x21, 0x21, board6 + board6 + ports + tlv), "AA,1\n",
       Kind::proxied, "2001:db8::7 40000"},
      {"v2 IPv4 in IPv6", binary(0x21, 0x21, mapped + mapped + ports), "", Kind::proxied,
       "192.0.2.7 40000"},
      {"v2 LOCAL", binary(0x20, 0x00, ""), "", Kind::local, ""},
      {"v2 LOCAL with addresses", binary(0x20, 0x11, v4 + tlv), "AA,1\n", Kind::local, ""},
      {"v2 cut short", binary(0x21, 0x11, v4).substr(0, 20), "", Kind::incomplete, ""},
      {"v2 version 1", binary(0x11, 0x11, v4), "", Kind::invalid, "with version 1"},
      {"v2 command 2", binary(0x22, 0x11, v4), "", Kind::invalid, "with command 2"},
      {"v2 too long", binary(0x21, 0x11, v4 + std::string(1000, 'x')), "", Kind::invalid,
       "1028 bytes, over the 1024"},
      {"v2 addresses cut", binary(0x21, 0x21, v4), "", Kind::invalid, "too short"},
      {"v2 datagram", binary(0x21, 0x12, v4), "", Kind::invalid, "other than TCP"},
  };
  for (const auto &c : cases) {
    const ProxyHeader header = readProxyHeader(c.header + c.after);
    EXPECT_EQ(header.kind, c.kind) << c.what << ": " << header.problem;
    if (c.kind == Kind::invalid) {
      EXPECT_NE(header.problem.find(c.source), std::string::npos)
          << c.what << ": " << header.problem;
      continue;
    }
    if (c.kind == Kind::incomplete) {
      continue;
    }
    EXPECT_EQ(header.length, c.header.size()) << c.what;
    if (c.kind == Kind::proxied) {
      const auto port = ntohs(reinterpret_cast<const sockaddr_in &>(header.source).sin_port);
      EXPECT_EQ(shownAddress(header.source) + " " + std::to_string(port), c.source) << c.what;
    }
    for (std::size_t cut = 0; cut < c.header.size(); ++cut) { // each byte may come alone
      EXPECT_EQ(readProxyHeader(c.header.substr(0, cut)).kind, Kind::incomplete) << c.what << cut;
    }
  }
}

TEST(ProxyHeader, TrustsTheAddressesWithinItsRanges) {
  const auto peer = [](const char *text) {
    sockaddr_storage address{};
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
    v6.sin6_family = AF_INET6;
    EXPECT_EQ(::inet_pton(AF_INET6, text, &v6.sin6_addr), 1) << text;
    return address;
  };
  const struct {
    const char *range, *within, *outside;
  } cases[] = {
      {"192.0.2.77/25", "::ffff:192.0.2.127", "::ffff:192.0.2.128"}, // as a dual-stack listener
      {"0.0.0.0/0", "::ffff:203.0.113.9", "2001:db8::1"},
      {"2001:db8::/33", "2001:db8:7fff::1", "2001:db8:8000::1"},
      {"::1", "::1", "::ffff:127.0.0.1"},
  };
  for (const auto &c : cases) {
    const auto range = addressRange(c.range);
    ASSERT_TRUE(range) << c.range;
    EXPECT_TRUE(isWithin({*range}, peer(c.within))) << c.range;
    EXPECT_FALSE(isWithin({*range}, peer(c.outside))) << c.range;
  }
  for (const char *invalid : {"", "10.0.0.300", "10.0.0.1/33", "::1/129", "10.0.0.1/", "10/8"}) {
    EXPECT_FALSE(addressRange(invalid)) << invalid;
  }
}

} // namespace
