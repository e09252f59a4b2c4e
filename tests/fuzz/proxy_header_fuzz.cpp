// Arbitrary first bytes of a proxy's connection through the reading of its PROXY header. What
// is read must not depend on how the bytes came: a header is incomplete until its last byte,
// bytes after it change nothing, and a refusal stands whatever follows.

#include "server/proxy_header.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void require(bool holds) {
  if (!holds) {
    std::abort();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  using Kind = ProxyHeader::Kind;
  const std::string_view bytes(reinterpret_cast<const char *>(data), size);
  const ProxyHeader whole = readProxyHeader(bytes);
  const bool taken = whole.kind == Kind::local || whole.kind == Kind::proxied;
  require(whole.kind != Kind::incomplete || size < longestProxyHeader);
  require(whole.kind != Kind::invalid || !whole.problem.empty());
  require(!taken || (whole.length > 0 && whole.length <= std::min(size, longestProxyHeader)));
  require(whole.kind != Kind::proxied || whole.source.ss_family == AF_INET ||
          whole.source.ss_family == AF_INET6);
  // The bytes cut where the first byte says, as if the rest had not come yet.
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  const ProxyHeader part = readProxyHeader(bytes.substr(0, cut));
  if (part.kind == Kind::incomplete) {
    require(!taken || cut < whole.length);
  } else {
    require(part.kind == whole.kind && part.length == whole.length &&
            part.problem == whole.problem &&
            std::memcmp(&part.source, &whole.source, sizeof whole.source) == 0);
  }
  return 0;
}
