// The PROXY protocol header a trusted proxy puts before a board's report: no I/O here.

#include "server/proxy_header.hpp"

#include "cli/command_line.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

constexpr std::string_view textSignature = "PROXY ";
constexpr std::string_view binarySignature("\r\n\r\n\0\r\nQUIT\n", 12);
constexpr std::size_t binaryFixedPart = 16; // the signature, version and command, family, length

constexpr unsigned localCommand = 0;
constexpr unsigned proxyCommand = 1;
constexpr unsigned streamTransport = 1;

ProxyHeader incomplete() {
  return {};
}

ProxyHeader invalid(std::string problem) {
  ProxyHeader header;
  header.kind = ProxyHeader::Kind::invalid;
  header.problem = std::move(problem);
  return header;
}

ProxyHeader local(std::size_t length) {
  ProxyHeader header;
  header.kind = ProxyHeader::Kind::local;
  header.length = length;
  return header;
}

ProxyHeader proxied(std::size_t length, int family, const void *address, std::uint16_t port) {
  ProxyHeader header;
  header.kind = ProxyHeader::Kind::proxied;
  header.length = length;
  if (family == AF_INET) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    std::memcpy(&v4.sin_addr, address, sizeof v4.sin_addr);
    std::memcpy(&header.source, &v4, sizeof v4);
  } else {
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(&v6.sin6_addr, address, sizeof v6.sin6_addr);
    std::memcpy(&header.source, &v6, sizeof v6);
  }
  return header;
}

// Whether `bytes` and `signature` agree as far as both go.
bool agreeWith(std::string_view bytes, std::string_view signature) {
  const std::size_t common = std::min(bytes.size(), signature.size());
  return bytes.substr(0, common) == signature.substr(0, common);
}

// A port as version 1 writes it: decimal, without leading zeros.
std::optional<std::uint16_t> textPort(std::string_view text) {
  if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0') ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const unsigned long value = std::stoul(std::string(text));
  return value <= 65535 ? std::optional<std::uint16_t>(value) : std::nullopt;
}

std::vector<std::string_view> fieldsOf(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space - start));
    if (space == std::string_view::npos) {
      return fields;
    }
    start = space + 1;
  }
}

bool isPrintable(char c) {
  return c >= 0x20 && c <= 0x7e;
}

// "PROXY TCP4 192.0.2.7 192.0.2.1 40000 999\r\n", or TCP6 with IPv6 addresses, or UNKNOWN
// and anything up to the line end.
ProxyHeader readTextHeader(std::string_view bytes) {
  // Judged on its longest possible length alone, so that what comes later changes nothing.
  const std::string_view head = bytes.substr(0, longestTextProxyHeader);
  const std::size_t lineFeed = head.find('\n');
  std::string_view line = head.substr(0, lineFeed);
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1); // the line's end; without a line feed, it may be on the way
  }
  if (!std::all_of(line.begin(), line.end(), isPrintable)) {
    return invalid("a version 1 header with a control byte");
  }
  if (lineFeed == std::string_view::npos) {
    return head.size() < longestTextProxyHeader
               ? incomplete()
               : invalid("a version 1 header longer than 107 bytes");
  }
  if (bytes[lineFeed - 1] != '\r') {
    return invalid("a version 1 header without its CR before the line feed");
  }
  const auto fields = fieldsOf(line.substr(textSignature.size()));
  if (fields[0] == "UNKNOWN") {
    return local(lineFeed + 1);
  }
  const int family = fields[0] == "TCP4" ? AF_INET : fields[0] == "TCP6" ? AF_INET6 : AF_UNSPEC;
  if (family == AF_UNSPEC) {
    return invalid("a version 1 header of protocol \"" + std::string(fields[0]) + "\"");
  }
  if (fields.size() != 5) {
    return invalid("a version 1 header without two addresses and two ports");
  }
  in6_addr source{};
  in6_addr destination{};
  if (::inet_pton(family, std::string(fields[1]).c_str(), &source) != 1 ||
      ::inet_pton(family, std::string(fields[2]).c_str(), &destination) != 1) {
    return invalid("a version 1 header with an invalid " + std::string(fields[0]) + " address");
  }
  const auto sourcePort = textPort(fields[3]);
  if (!sourcePort || !textPort(fields[4])) {
    return invalid("a version 1 header with an invalid port");
  }
  return proxied(lineFeed + 1, family, &source, *sourcePort);
}

// The 12-byte signature, version and command, address family and transport, the length of
// what follows: the addresses and ports, then TLVs, which are skipped.
ProxyHeader readBinaryHeader(std::string_view bytes) {
  const auto byte = [&](std::size_t at) {
    return static_cast<unsigned char>(bytes[at]);
  };
  const std::size_t versionAt = binarySignature.size();
  if (bytes.size() > versionAt) {
    const unsigned version = byte(versionAt) >> 4U;
    const unsigned command = byte(versionAt) & 0xfU;
    if (version != 2) {
      return invalid("a version 2 signature with version " + std::to_string(version));
    }
    if (command != localCommand && command != proxyCommand) {
      return invalid("a version 2 header with command " + std::to_string(command));
    }
  }
  if (bytes.size() < binaryFixedPart) {
    return incomplete();
  }
  const std::size_t length = binaryFixedPart + (std::size_t{byte(14)} << 8U | byte(15));
  if (length > longestBinaryProxyHeader) {
    return invalid("a version 2 header of " + std::to_string(length) + " bytes, over the " +
                   std::to_string(longestBinaryProxyHeader) + " taken");
  }
  if (bytes.size() < length) {
    return incomplete();
  }
  if ((byte(versionAt) & 0xfU) == localCommand) {
    return local(length);
  }
  const unsigned family = byte(13) >> 4U;
  if (family == 0 || family == 3) { // unspecified, or a Unix socket: no IP address
    return local(length);
  }
  if (family != 1 && family != 2) {
    return invalid("a version 2 header of address family " + std::to_string(family));
  }
  if ((byte(13) & 0xfU) != streamTransport) {
    return invalid("a version 2 header of a transport other than TCP");
  }
  const std::size_t addressSize = family == 1 ? 4 : 16;
  if (length < binaryFixedPart + 2 * addressSize + 4) {
    return invalid("a version 2 header too short for its addresses");
  }
  const std::size_t portAt = binaryFixedPart + 2 * addressSize;
  const auto port = static_cast<std::uint16_t>(byte(portAt) << 8U | byte(portAt + 1));
  return proxied(length, family == 1 ? AF_INET : AF_INET6, bytes.data() + binaryFixedPart, port);
}

// Whether the first `prefix` bits of `address` are those of `range`.
bool beginsAs(const AddressRange &range, const unsigned char *address) {
  for (unsigned bit = 0; bit < range.prefix; bit += 8) {
    const unsigned bits = std::min(8U, range.prefix - bit);
    const auto mask = static_cast<unsigned char>(0xffU << (8 - bits));
    if ((address[bit / 8] & mask) != range.bytes[bit / 8]) {
      return false;
    }
  }
  return true;
}

} // namespace

ProxyHeader readProxyHeader(std::string_view bytes) {
  if (agreeWith(bytes, binarySignature)) {
    return bytes.size() < binarySignature.size() ? incomplete() : readBinaryHeader(bytes);
  }
  if (agreeWith(bytes, textSignature)) {
    return bytes.size() < textSignature.size() ? incomplete() : readTextHeader(bytes);
  }
  return invalid("no PROXY protocol header");
}

std::optional<AddressRange> addressRange(std::string_view text) {
  const std::size_t slash = text.find('/');
  const std::string address(text.substr(0, slash));
  AddressRange range;
  if (::inet_pton(AF_INET, address.c_str(), range.bytes.data()) == 1) {
    range.family = AF_INET;
    range.prefix = 32;
  } else if (::inet_pton(AF_INET6, address.c_str(), range.bytes.data()) == 1) {
    range.family = AF_INET6;
    range.prefix = 128;
  } else {
    return std::nullopt;
  }
  if (slash != std::string_view::npos) {
    const auto prefix = wholeNumber(std::string(text.substr(slash + 1)), 0, range.prefix);
    if (!prefix) {
      return std::nullopt;
    }
    range.prefix = static_cast<unsigned>(*prefix);
  }
  for (unsigned at = 0; at < range.bytes.size(); ++at) { // 192.0.2.7/24 is 192.0.2.0/24
    const unsigned bits = std::clamp<unsigned>(range.prefix, 8 * at, 8 * at + 8) - 8 * at;
    range.bytes[at] &= static_cast<unsigned char>(0xff00U >> bits);
  }
  return range;
}

bool isWithin(const std::vector<AddressRange> &ranges, const sockaddr_storage &address) {
  int family = AF_INET;
  const unsigned char *bytes = nullptr;
  if (address.ss_family == AF_INET) {
    bytes = reinterpret_cast<const unsigned char *>(
        &reinterpret_cast<const sockaddr_in &>(address).sin_addr);
  } else if (address.ss_family == AF_INET6) {
    const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
    family = IN6_IS_ADDR_V4MAPPED(&v6) ? AF_INET : AF_INET6;
    bytes = family == AF_INET ? &v6.s6_addr[12] : v6.s6_addr;
  } else {
    return false;
  }
  return std::any_of(ranges.begin(), ranges.end(), [&](const AddressRange &range) {
    return range.family == family && beginsAs(range, bytes);
  });
}
