// The bytes one peer sent, made into the echo, the records and the problems: no I/O here.

#include "server/report.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>

namespace {

// A line that carries nothing: a board's blank line, with or without its carriage return.
bool isBlank(std::string_view line) {
  return line.empty() || line == "\r";
}

// The bytes of `tail` that are more than padding: boards pad their line with NULs or end it
// twice, and nothing of theirs is lost then.
std::size_t bytesBeyondPadding(std::string_view tail) {
  return static_cast<std::size_t>(std::count_if(
      tail.begin(), tail.end(), [](char c) { return c != '\0' && c != '\n' && c != '\r'; }));
}

} // namespace

std::vector<Record> splitRecords(std::string_view pkg, std::size_t *linesWithoutDevice,
                                 std::size_t stampLength) {
  std::vector<Record> records;
  for (std::size_t sent = stampLength; !pkg.empty(); sent = 0) {
    const auto lineFeed = pkg.find('\n');
    const std::string_view line = pkg.substr(0, lineFeed);
    pkg = lineFeed == std::string_view::npos ? std::string_view() : pkg.substr(lineFeed + 1);
    if (const auto identifier = identifierOf(line)) {
      std::string macAddress(*identifier);
      std::string fileName = deviceFileName(macAddress);
      records.push_back({std::move(macAddress), std::string(line), std::move(fileName)});
    } else if (linesWithoutDevice != nullptr &&
               !isBlank(line.substr(std::min(sent, line.size())))) {
      ++*linesWithoutDevice;
    }
  }
  return records;
}

Report ReportCutter::take(std::string_view bytes, std::time_t now, bool peerClosed) {
  std::size_t bytesAfterNul = 0;
  std::string text; // the lines these bytes complete
  if (endedAtNul_) {
    bytesAfterNul = bytesBeyondPadding(bytes);
  } else {
    const auto nul = bytes.find('\0');
    const std::string_view kept = bytes.substr(0, nul);
    if (partialLine_.size() + kept.size() > partialLine_.capacity()) {
      // Grown as a string grows, but never past what a report may hold, so that a line
      // begun costs no more than its bytes when hundreds of peers each hold one.
      partialLine_.reserve(std::min(maxReportBytes, std::max(partialLine_.size() + kept.size(),
                                                             2 * partialLine_.capacity())));
    }
    partialLine_.append(kept);
    if (nul != std::string_view::npos) {
      endedAtNul_ = true;
      bytesAfterNul = bytesBeyondPadding(bytes.substr(nul));
    }
    const auto lastLineFeed = partialLine_.rfind('\n');
    if (endedAtNul_ || peerClosed) {
      text.swap(partialLine_);
    } else if (lastLineFeed != std::string::npos) {
      text = partialLine_.substr(0, lastLineFeed + 1);
      partialLine_.erase(0, lastLineFeed + 1);
    }
  }
  const bool reportEnds = endedAtNul_ || peerClosed;
  Report report = text.empty() && (stamped_ || !reportEnds) ? Report{} : makeLines(text, now);
  report.bytesAfterNul = bytesAfterNul;
  return report;
}

Report ReportCutter::makeLines(std::string_view text, std::time_t now) {
  Report report;
  report.pkg = stamped_ ? std::string(text) : stampedReport(now, text);
  const std::size_t stampLength = report.pkg.size() - text.size();
  stamped_ = true;
  report.records = splitRecords(report.pkg, &report.linesWithoutDevice, stampLength);
  return report;
}
