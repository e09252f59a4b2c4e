// Arbitrary received bytes through the making of a report and the device log, in a
// scratch working directory. Every stored line must be a whole line of the stamped report,
// every file must lie directly in "log", and nothing may appear beside "log".

#include "devicelog/devicelog.hpp"
#include "devicelog/record_format.hpp"
#include "server/report.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

void require(bool holds) {
  if (!holds) {
    std::abort();
  }
}

std::set<std::string> linesOf(const std::string &text) {
  std::set<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.insert(line);
  }
  return lines;
}

const fs::path &scratch() {
  static const fs::path dir = [] {
    std::string pattern = (fs::temp_directory_path() / "report-fuzz-XXXXXX").string();
    require(::mkdtemp(pattern.data()) != nullptr);
    fs::current_path(pattern);
    return fs::path(pattern);
  }();
  return dir;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const fs::path &dir = scratch();
  const std::string received(reinterpret_cast<const char *>(data), size);

  // The bytes arrive in two pieces, cut where the first byte says, and the peer closes when
  // the second says: the lines taken must be the text before the first NUL, in order.
  const std::size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  const bool peerCloses = size > 1 && (data[1] & 1U) != 0;
  ReportCutter cutter;
  Report report = cutter.take(std::string_view(received).substr(0, cut), 0, false);
  const Report rest = cutter.take(std::string_view(received).substr(cut), 0, peerCloses);
  report.pkg += rest.pkg;
  report.records.insert(report.records.end(), rest.records.begin(), rest.records.end());
  const std::string text = received.substr(0, received.find('\0'));
  const std::string &pkg = report.pkg;
  require(pkg.find('\0') == std::string::npos);
  if (!pkg.empty()) {
    const std::string taken = pkg.substr(timestampLength + 1);
    require(text.compare(0, taken.size(), taken) == 0);
    require(taken.size() + cutter.partialLineBytes() == text.size());
  }
  require(!peerCloses || !cutter.midLine());
  fs::remove_all(dir / "log");
  for (const Record &record : report.records) {
    const Outcome outcome = appendToDeviceLog("log", record);
    require((outcome.kind == Outcome::Kind::refused) == record.fileName.empty());
  }

  const auto reportLines = linesOf(pkg);
  for (const auto &entry : fs::recursive_directory_iterator(dir)) {
    const fs::path relative = entry.path().lexically_relative(dir);
    if (relative == "log") {
      continue;
    }
    require(relative.parent_path() == "log" && entry.is_regular_file());
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string contents{std::istreambuf_iterator<char>(file), {}};
    require(!contents.empty() && contents.back() == '\n');
    for (const auto &line : linesOf(contents)) {
      require(reportLines.count(line) == 1);
    }
  }
  return 0;
}
