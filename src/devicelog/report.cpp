// The bytes one peer sent, made into the echo, the records and the problems: no I/O here.

#include "devicelog/report.hpp"

#include "devicelog/record_format.hpp"

std::string refusalOf(const std::string &macAddress, std::string_view why) {
  return "refused device identifier \"" + printable(macAddress) + "\": " + std::string(why);
}

std::size_t fragmentLength(std::string_view received) {
  const auto lastLineFeed = received.rfind('\n');
  if (lastLineFeed == std::string_view::npos) {
    return 0; // a peer that closed without a line feed sent one whole report
  }
  const auto tail = received.substr(lastLineFeed + 1);
  if (tail.find_first_not_of('\0') == std::string_view::npos) {
    return 0; // padding that some boards send after their line
  }
  return tail.size();
}

std::string reportText(std::string_view received) {
  const auto lastLineFeed = received.rfind('\n');
  if (lastLineFeed != std::string_view::npos) {
    received = received.substr(0, lastLineFeed + 1);
  }
  return std::string(received.substr(0, received.find('\0')));
}

std::vector<Record> splitRecords(std::string_view pkg) {
  std::vector<Record> records;
  while (!pkg.empty()) {
    const auto lineFeed = pkg.find('\n');
    const std::string_view line = pkg.substr(0, lineFeed);
    pkg = lineFeed == std::string_view::npos ? std::string_view() : pkg.substr(lineFeed + 1);
    if (const auto identifier = identifierOf(line)) {
      std::string macAddress(*identifier);
      std::string fileName = deviceFileName(macAddress);
      records.push_back({std::move(macAddress), std::string(line), std::move(fileName)});
    }
  }
  return records;
}

Report makeReport(std::string_view received, std::time_t now) {
  Report report;
  report.pkg = stampedReport(now, reportText(received));
  report.droppedBytes = fragmentLength(received);
  report.records = splitRecords(report.pkg);
  return report;
}
