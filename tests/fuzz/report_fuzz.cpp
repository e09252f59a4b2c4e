// Arbitrary received bytes through the making of a report and the device log, in a
// scratch working directory. Every stored line must be a whole line of the stamped report,
// every file must lie directly in "log", and nothing may appear beside "log".

#include "devicelog/devicelog.hpp"
#include "devicelog/report.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

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

  const std::string text = reportText(received);
  const std::size_t fragment = fragmentLength(received);
  require(received.compare(0, text.size(), text) == 0);
  require(text.find('\0') == std::string::npos);
  require(fragment <= received.size());
  if (fragment > 0) {
    require(received[received.size() - fragment - 1] == '\n');
    require(text.size() <= received.size() - fragment);
  }

  const Report report = makeReport(received, 0);
  const std::string &pkg = report.pkg;
  require(pkg.size() > text.size() &&
          pkg.compare(pkg.size() - text.size(), text.size(), text) == 0);
  require(report.droppedBytes == fragment);
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
