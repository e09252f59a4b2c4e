#pragma once

// What the collector does with the bytes one peer sent: decided here, without any I/O, so
// that the same bytes always make the same echo, the same records and the same problems.

#include "devicelog/devicelog.hpp"
#include "devicelog/record_format.hpp"

#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

struct Report {
  std::string pkg;             // the stamped report, echoed on the console
  std::vector<Record> records; // lines without a device identifier are not records
  // What the peer sent that no file will hold: lines that name no device, and bytes after
  // the NUL that ends the report text, other than padding (NULs and line ends).
  std::size_t linesWithoutDevice = 0;
  std::size_t bytesAfterNul = 0;
};

// Cuts the bytes of one peer, as they come, into the lines that can be stored: a line once
// its line feed has come, or once the peer has closed. The first lines taken make the
// stamped report; lines that come later are further lines of the same report, stored as
// sent. The report text ends at the first NUL: what follows is never stored.
class ReportCutter {
public:
  // Takes bytes that arrived and returns the lines they complete, stamped with `now` if they
  // are the report's first; with `peerClosed`, a last line without its line feed is whole.
  Report take(std::string_view bytes, std::time_t now, bool peerClosed);

  // Whether the bytes taken end inside a line: more is coming, or the line is lost.
  bool midLine() const {
    return !partialLine_.empty();
  }
  std::size_t partialLineBytes() const {
    return partialLine_.size();
  }

private:
  Report makeLines(std::string_view text, std::time_t now);

  std::string partialLine_; // after the last line feed, before the NUL if one came
  bool stamped_ = false;    // the report's first lines have been taken
  bool endedAtNul_ = false;
};

// The records of a stamped report: each of its lines that has a device identifier. Lines
// that have none, apart from empty lines, are counted in `linesWithoutDevice`; the first
// `stampLength` bytes of `pkg` are the stamp, which names no device.
std::vector<Record> splitRecords(std::string_view pkg, std::size_t *linesWithoutDevice = nullptr,
                                 std::size_t stampLength = 0);
