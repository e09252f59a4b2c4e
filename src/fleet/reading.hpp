#pragma once

// The fleet view's reading of the device files: what each file says about its device in the
// window the operator looks at, and what of it can be believed. Nothing here knows how it is
// shown.

#include "devices/device_list.hpp"

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
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

// The records of one slice of the window, for a chart: the mean and count of each value
// field. Means rather than sums, so that values near the largest a double holds never add up
// to infinity.
struct ChartSlice {
  std::time_t first = 0; // of the earliest record in the slice
  std::time_t time = 0;  // of the latest
  std::vector<double> means;
  std::vector<unsigned> counts;
};

// How long a device usually leaves between two records: the median interval, kept in
// buckets of powers of two so that a year of records costs no more memory than a day.
class IntervalTally {
public:
  void add(std::int64_t seconds);
  // The mean of the intervals in the median's bucket; nothing before two records.
  std::optional<double> usual() const;

private:
  static constexpr std::size_t buckets = 64;
  std::array<std::uint64_t, buckets> counts_{};
  std::array<double, buckets> sums_{};
  std::uint64_t total_ = 0;
};

// The last record's text is kept to this many bytes: enough to recognise it, however long the
// line a peer sent.
constexpr std::size_t lastFieldsKept = 256;

struct DeviceSummary {
  std::string fileName;     // in the log directory
  std::string name;         // the file name without its suffix, as bytes
  std::size_t records = 0;  // in the window, lines without a time stamp included
  std::time_t lastSeen = 0; // the newest believed stamp; 0 when the file says nothing at all
  bool lastSeenFromFileTime = false;
  std::string lastFields;           // of the last record believed, after the identifier, cut
  std::size_t lastFieldsLength = 0; // before it was cut
  std::size_t notBelieved = 0;      // lines whose time stamp cannot be true
  std::vector<std::string> notes;   // what was odd about the file
  std::map<long, ChartSlice> chart; // by slice number; only when charts are wanted
  IntervalTally intervals;          // between records of the window; only with charts
  const Device *device =
      nullptr; // its entry in the device list; nullptr without a list or when it is not on it
  bool neverReported = false; // a listed device with no file
};

// The log directory cannot be listed or searched: the view cannot tell about any device.
class UnreadableLogDirectory : public std::system_error {
public:
  UnreadableLogDirectory(std::string action, int error)
      : std::system_error(error, std::generic_category(), action), action_(std::move(action)) {}
  const std::string &action() const {
    return action_;
  }

private:
  std::string action_; // "cannot read", "cannot search"
};

// The device files of `logDir`, each read from its end back to the start of the window. A
// file that cannot be read is reported on standard error and in its summary; throws
// UnreadableLogDirectory when the directory itself cannot be listed or searched.
std::vector<DeviceSummary> readFleet(const std::filesystem::path &logDir, const Window &window,
                                     bool withCharts);

// One device file, opened without following a link; its modification time stands in for the
// time of its last record when no record read has a time stamp that can be believed.
DeviceSummary readDeviceFile(const std::filesystem::path &path, const Window &window,
                             bool withCharts);
