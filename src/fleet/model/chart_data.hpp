#pragma once

// What a device's records draw over the window, for its charts: read again, one device at a
// time, after the fleet's facts are known.

#include "fleet/model/fleet.hpp"

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

// How many slices a chart has: at most this many points per line.
constexpr long chartSlices = 1000;

// The records of one slice of the window: the mean, lowest, highest and count of each value
// field.
struct ChartSlice {
  std::time_t first = 0; // of the earliest record in the slice
  std::time_t time = 0;  // of the latest
  std::vector<double> means, lows, highs;
  std::vector<std::size_t> counts;
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

// A time without records, from the last record before it to the first after it, or to now.
struct Silence {
  std::time_t from = 0;
  std::time_t to = 0;
};

// What a device's records drew over the window, for its charts.
struct DeviceChart {
  std::map<long, ChartSlice> slices; // by slice number
  std::size_t fields = 0;            // as many value fields as the widest slice has
  // Records further apart than this are a silence: longer than the device's stale
  // threshold, or than five times its usual interval if that is shorter. A line drawn across
  // it would show values nobody measured.
  std::int64_t silenceThreshold = 0;
  std::vector<Silence> silences; // oldest first, the one up to now last
};

// Reads the device's files again, in the log directories `logDirs` that the fleet was read
// from, for its chart. One device at a time, so that a page of any number of devices holds
// one chart in memory.
DeviceChart readChart(const std::vector<std::filesystem::path> &logDirs, const FleetDevice &device,
                      const Window &window);

// The silences in `slices` longer than `threshold`, oldest first, the one up to `now` last.
std::vector<Silence> silencesOf(const std::map<long, ChartSlice> &slices, std::int64_t threshold,
                                std::time_t now);
