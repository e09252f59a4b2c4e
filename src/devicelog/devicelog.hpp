#pragma once

// The device files: each record appended, in one write, to the file of its device.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// One line of a report that names a device, in the order the peer sent it.
struct Record {
  std::string macAddress; // the device identifier exactly as sent
  std::string line;       // the whole record, without its line feed
  // Of the device's file in the log directory; empty when the identifier would name a file
  // outside it, and the record is refused.
  std::string fileName;
};

// What the operator is told of a record whose identifier, `macAddress`, is refused, and
// `why`: by default, that it would name a file outside the log directory.
std::string refusalOf(const std::string &macAddress,
                      std::string_view why = "it would name a file outside the log directory");

// What became of one record. Nothing is printed here: the caller tells the operator and
// decides what the peer is told.
struct Outcome {
  enum class Kind {
    stored,
    refused, // its identifier would name a file outside the log directory
    failed,  // this record was not stored; the next one may be
    // The device file could not be opened for lack of descriptors: trying again once some
    // are free may store it.
    shortOfDescriptors,
  };
  Kind kind = Kind::stored;
  std::string problem; // what went wrong, in the operator's words; empty when stored
};

// Makes `logDir`, one level, unless it is there; throws std::filesystem::filesystem_error
// when it cannot be made.
void prepareLogDirectory(const std::filesystem::path &logDir);

// Cuts away, from the end of each device file in `logDir`, the start of a record that a
// crash left without its line feed: a write that the kernel cut short when the collector was
// killed (kill -9 ends a long write between pages). Its board was never told it was stored,
// and sends it again. Returns what was cut, or could not be looked at, in the operator's words.
std::vector<std::string> mendTornRecords(const std::filesystem::path &logDir);

// Appends the line of `record` and a line feed to its device file below `logDir` in one
// write, making `logDir` (one level) again when it has gone. A link in the device file's
// place is not followed.
Outcome appendToDeviceLog(const std::filesystem::path &logDir, const Record &record);
