#pragma once

// The fleet view as one self-contained HTML page: the table, then for each device a panel per
// numeric field of its records, each against a value scale of its own.

#include "fleet/reading.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

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
// `filesNotInList` are the files of the log directory that are not on the device list, listed
// in a section of their own; empty without a list.
std::string pageStart(const std::vector<DeviceSummary> &devices, const Window &window,
                      const std::vector<std::string> &filesNotInList = {});
std::string deviceSection(const DeviceSummary &device, const Window &window);
std::string pageEnd();
