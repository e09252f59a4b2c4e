#pragma once

// What the collector does with the bytes one peer sent: decided here, without any I/O, so
// that the same bytes always make the same echo, the same records and the same problems.

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// A report is a few short lines; what one peer sends beyond this is not a board talking.
constexpr std::size_t maxReportBytes = 65536;

// One line of a report that names a device, in the order the peer sent it.
struct Record {
  std::string macAddress; // the device identifier exactly as sent
  std::string line;       // the whole record, without its line feed
  // Of the device's file in the log directory; empty when the identifier would name a file
  // outside it, and the record is refused.
  std::string fileName;
};

struct Report {
  std::string pkg;              // the stamped report, echoed on the console
  std::size_t droppedBytes = 0; // the start of a line that never fully arrived: not stored
  std::vector<Record> records;  // lines without a device identifier are not records
};

// The report that `received`, read from one peer, makes when it is stamped with `now`.
Report makeReport(std::string_view received, std::time_t now);

// Number of bytes after the last line feed of `received`, unless they are only NUL padding:
// the start of a line that never fully arrived.
std::size_t fragmentLength(std::string_view received);

// The report text of `received`: without a trailing fragment, and cut at the first NUL.
std::string reportText(std::string_view received);

// What the operator is told of a record whose identifier, `macAddress`, is refused, and
// `why`: by default, that it would name a file outside the log directory.
std::string refusalOf(const std::string &macAddress,
                      std::string_view why = "it would name a file outside the log directory");

// The records of a stamped report: each of its lines that has a device identifier.
std::vector<Record> splitRecords(std::string_view pkg);
