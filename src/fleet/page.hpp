#pragma once

// The fleet view as one self-contained HTML page: the table, then a chart per device of the
// numeric fields of its records.

#include "fleet/reading.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What a device's chart spans: time across, from the start of the window, and values up.
struct ChartScales {
  std::time_t start = 0;  // the window's start, at the left edge
  std::int64_t span = 0;  // seconds from the left edge to the right
  std::size_t fields = 0; // one line per field, as many as the slice with the most
  double low = 0;         // the lowest and highest slice mean of any field; a flat chart gets
  double high = 0;        // room either side, so that its line runs across the middle
};

// The scales for `chart`; nothing when none of its slices has a numeric value.
std::optional<ChartScales> chartScales(const std::map<long, ChartSlice> &chart,
                                       const Window &window);

// A line drawn across a time without records would show values nobody measured. Records
// further apart than this are a silence: longer than the stale threshold, or than five times
// the device's usual interval if that is shorter.
std::int64_t silenceThreshold(const DeviceSummary &device, const Window &window);

// A time without records, from the last record before it to the first after it, or to now.
struct Silence {
  std::time_t from = 0;
  std::time_t to = 0;
};

// The silences in `chart` longer than `threshold`, oldest first, the one up to `now` last.
std::vector<Silence> silencesOf(const std::map<long, ChartSlice> &chart, std::int64_t threshold,
                                std::time_t now);

// The page is written in three parts, so that it can be streamed to its file and only one
// device's chart is in memory at a time: the start, with the table; each device's section,
// in the table's order, from a reading of its file with charts; and the end.
std::string pageStart(const std::vector<DeviceSummary> &devices, const Window &window);
std::string deviceSection(const DeviceSummary &device, const Window &window);
std::string pageEnd();
