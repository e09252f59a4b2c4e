#pragma once

// The fleet view's reading of the device files: what each file says about its device in the
// window the operator looks at. Nothing here knows how it is shown.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

// A length of time as the operator gave it: its seconds to count with, and its text, such as
// "24h", to say it back to the operator in the same words.
struct Duration {
  std::int64_t seconds = 0;
  std::string text;
};

inline const Duration defaultSince{std::int64_t{24} * 3600, "24h"};
inline const Duration defaultStale{3600, "1h"};

// What the view looks at: records since `now - since`; silent for `stale` means stale.
struct Window {
  std::time_t now = 0;
  Duration since = defaultSince;
  Duration stale = defaultStale;
};

// The earliest time that a record in the window may carry.
inline std::time_t windowStart(const Window &window) {
  return window.now - window.since.seconds;
}

// How many slices a chart has: at most this many points per line.
constexpr long chartSlices = 1000;

// The records of one slice of the window, for a chart: the sum and count of each value field.
struct ChartSlice {
  std::time_t time = 0; // of the latest record in the slice
  std::vector<double> sums;
  std::vector<unsigned> counts;
};

struct DeviceSummary {
  std::string name;         // the file name without its suffix, as bytes
  std::size_t records = 0;  // in the window, lines without a time stamp included
  std::time_t lastSeen = 0; // 0 when the file says nothing at all
  bool lastSeenFromFileTime = false;
  std::string lastFields;           // of the last record, after the identifier
  std::vector<std::string> notes;   // what was odd about the file
  std::map<long, ChartSlice> chart; // by slice number; only when charts are wanted
};

// The device files of `logDir`, each read from its end back to the start of the window and
// handed to `eachRead`, if given, as soon as it is read. A file that cannot be read is
// reported on standard error and in its summary; throws std::filesystem::filesystem_error
// when the directory itself cannot be read.
std::vector<DeviceSummary> readFleet(const std::filesystem::path &logDir, const Window &window,
                                     bool withCharts,
                                     const std::function<void(DeviceSummary &)> &eachRead = {});

// One device file; its modification time stands in for the time of its last record when no
// record read has a time stamp.
DeviceSummary readDeviceFile(const std::filesystem::path &path, const Window &window,
                             bool withCharts);
