#pragma once

// The PROXY protocol header, versions 1 (text) and 2 (binary), with which a proxy in front
// of the collector names the board it relays: read here from a connection's first bytes,
// without any I/O. And the addresses whose connections must begin with one.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/socket.h>

// A version 1 header is one line of at most 107 bytes, its CR LF included. A version 2
// header carries the addresses and TLVs that a proxy may add; none we know of makes it
// longer than this, and a longer one is refused rather than waited for.
constexpr std::size_t longestTextProxyHeader = 107;
constexpr std::size_t longestBinaryProxyHeader = 1024;
constexpr std::size_t longestProxyHeader = longestBinaryProxyHeader;

struct ProxyHeader {
  enum class Kind {
    incomplete, // the bytes so far begin a header: more are needed
    invalid,    // no header, or one the collector cannot take: `problem` says why
    // The proxy's own connection, such as its health check (a version 2 LOCAL), or one that
    // names no IP address (version 1 UNKNOWN; version 2 of no family or of a Unix socket):
    // the connection's own addresses stand.
    local,
    proxied, // relayed for the board at `source`
  };
  Kind kind = Kind::incomplete;
  std::size_t length = 0;    // of the header, when local or proxied: the report follows
  sockaddr_storage source{}; // the board's address and port, when proxied
  std::string problem;
};

// What the first bytes a peer sent say, as far as they have come.
ProxyHeader readProxyHeader(std::string_view bytes);

// Addresses given as ADDRESS[/PREFIX], IPv4 or IPv6, from which a connection is a proxy's.
struct AddressRange {
  int family = AF_INET;
  std::array<unsigned char, 16> bytes{}; // the first 4 for IPv4; the bits past the prefix are 0
  unsigned prefix = 32;
};

// The range `text` names, or nothing when it names none. A bare address is a range of one.
std::optional<AddressRange> addressRange(std::string_view text);

// Whether the peer at `address` is within one of `ranges`. An IPv4 peer of a listener that
// takes IPv6 and IPv4 at once (::ffff:192.0.2.7) is within the IPv4 ranges.
bool isWithin(const std::vector<AddressRange> &ranges, const sockaddr_storage &address);
