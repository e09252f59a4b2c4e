#pragma once

// The device files: each record appended, in one write, to the file of its device.

#include "devicelog/report.hpp"

#include <filesystem>
#include <string>
#include <vector>

// What became of one record. Nothing is printed here: the caller tells the operator and
// decides whether the collector goes on.
struct Outcome {
  enum class Kind {
    stored,
    refused,        // its identifier would name a file outside the log directory
    failed,         // this record was not stored; the next one may be
    noLogDirectory, // the log directory cannot be made: no record can be stored
  };
  Kind kind = Kind::stored;
  std::string problem; // what went wrong, in the operator's words; empty when stored
};

// Appends `line` and a line feed to "<logDir>/<macAddress without colons>.csv" in one write,
// making `logDir` (one level) when it is missing.
Outcome appendToDeviceLog(const std::filesystem::path &logDir, const std::string &macAddress,
                          const std::string &line);

// Stores the records of `report` in order, one outcome each. Once the log directory cannot
// be made, the records after it are not tried.
std::vector<Outcome> processReport(const Report &report, const std::filesystem::path &logDir);
