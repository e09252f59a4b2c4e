// Arbitrary device identifiers: a file name that is not refused lies directly in "log" and
// is the identifier without its colons; a refused one is refused for a reason; the
// printable form of any identifier is printable.

#include "base/escaping.hpp"
#include "devicelog/record_format.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

void require(bool holds) {
  if (!holds) {
    std::abort();
  }
}

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string macAddress(reinterpret_cast<const char *>(data), size);
  std::string stripped = macAddress;
  stripped.erase(std::remove(stripped.begin(), stripped.end(), ':'), stripped.end());

  const std::string name = deviceFileName(macAddress);
  if (name.empty()) {
    require(stripped == "." || stripped == ".." ||
            std::any_of(stripped.begin(), stripped.end(),
                        [](char c) { return c == '/' || c == '\\' || isControl(c); }));
  } else {
    require(name == stripped + ".csv");
    const std::filesystem::path path = std::filesystem::path("log") / name;
    require(path.lexically_normal().parent_path() == "log");
    require(path.filename() == name);
    require(std::none_of(name.begin(), name.end(), isControl));
  }

  const std::string shown = printable(macAddress);
  require(std::all_of(shown.begin(), shown.end(), [](char c) { return c >= 0x20 && c < 0x7f; }));
  return 0;
}
