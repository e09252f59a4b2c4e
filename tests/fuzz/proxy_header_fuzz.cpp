// Arbitrary first bytes of a proxy's connection through the reading of its PROXY header. What
// is read must not depend on how the bytes came: every shorter prefix of a header is
// incomplete, bytes after it change nothing, and a refusal stands whatever follows.

#include "server/proxy_header.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void require(bool holds) {
  if (!holds) {
    std::abort();
  }
}

bool sameOutcome(const ProxyHeader &one, const ProxyHeader &other) {
  return one.kind == other.kind && one.length == other.length && one.problem == other.problem &&
         std::string_view(reinterpret_cast<const char *>(&one.source), sizeof one.source) ==
             std::string_view(reinterpret_cast<const char *>(&other.source), sizeof other.source);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  const ProxyHeader whole = readProxyHeader(bytes);
  switch (whole.kind) {
  case ProxyHeader::Kind::incomplete:
    require(size < longestProxyHeader);
    break;
  case ProxyHeader::Kind::invalid:
    require(!whole.problem.empty());
    break;
  case ProxyHeader::Kind::local:
  case ProxyHeader::Kind::proxied:
    require(whole.length > 0 && whole.length <= size && whole.length <= longestProxyHeader);
    require(whole.kind == ProxyHeader::Kind::local || whole.source.ss_family == AF_INET ||
            whole.source.ss_family == AF_INET6);
    break;
  }
  // The bytes cut where the first byte says, as if the rest had not come yet.
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  const ProxyHeader part = readProxyHeader(bytes.substr(0, cut));
  if (part.kind == ProxyHeader::Kind::invalid) {
    require(sameOutcome(part, whole)); // refused at once, and not otherwise later
  } else if (part.kind != ProxyHeader::Kind::incomplete) {
    require(sameOutcome(part, whole));
  } else if (whole.kind == ProxyHeader::Kind::local || whole.kind == ProxyHeader::Kind::proxied) {
    require(cut < whole.length);
  }
  return 0;
}
