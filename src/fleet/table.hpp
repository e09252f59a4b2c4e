#pragma once

// The fleet view's verdict on each device, stale or not, and the table that shows it to the
// operator; the exit status tells the same to a monitoring system.

#include "fleet/reading.hpp"

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <vector>

bool isStale(const DeviceSummary &device, const Window &window);

// Stale devices first, the longest silent first, then the others by name.
void sortForTheOperator(std::vector<DeviceSummary> &devices, const Window &window);

// The exit status in the manner of monitoring plugins, which read 0 as OK, 1 as WARNING,
// 2 as CRITICAL and 3 as UNKNOWN.
enum class FleetStatus {
  everyDeviceFresh = 0,
  someStale = 1,
  everyDeviceStaleOrNone = 2,
  unknown =
      3, // the log directory cannot be read, the page not written, or the command line is wrong
};

FleetStatus fleetStatus(const std::vector<DeviceSummary> &devices, const Window &window);

// "45s", "12m", "3h", "5d": the largest whole unit.
std::string formatAge(std::int64_t seconds);

// `time` as local time in `format`; by default "2026-12-08 14:30:05".
std::string formatLocalTime(std::time_t time, const char *format = "%Y-%m-%d %H:%M:%S");

// One device as a row of the table, every text from its file made safe to show.
struct TableRow {
  std::string device, records, lastSeen, age, state, last;
};
inline const TableRow tableHeadings{"DEVICE", "RECORDS", "LAST SEEN",
                                    "AGE",    "STATE",   "LAST RECORD"};
TableRow tableRow(const DeviceSummary &device, const Window &window);

// The table for the terminal, with a closing line; `width` bounds the lines.
void printTable(std::ostream &out, const std::vector<DeviceSummary> &devices, const Window &window,
                std::size_t width);

// The closing line: "12 devices, 1 stale (no record for 1h)".
std::string fleetSummaryLine(const std::vector<DeviceSummary> &devices, const Window &window);
