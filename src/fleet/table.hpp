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
  // The log directory cannot be listed or searched, the table or the page not written, or
  // the command line is wrong.
  unknown = 3,
};

FleetStatus fleetStatus(const std::vector<DeviceSummary> &devices, const Window &window);

// "45s", "12m", "3h", "5d": the largest whole unit.
std::string formatAge(std::int64_t seconds);

// `time` as local time in `format`; by default "2026-12-08 14:30:05".
std::string formatLocalTime(std::time_t time, const char *format = "%Y-%m-%d %H:%M:%S");

// The device's name as the operator sees it, safe to show. The empty identifier's file,
// ".csv", gets a name with a slash, which no file name can hold.
std::string shownName(const DeviceSummary &device);
inline const std::string emptyIdentifierName = "(empty)/";

// One device as a row of the table, every text from its file made safe to show. The notes,
// what was odd about the file, stay apart from the last record so that a narrow terminal cuts
// the record and never the notes.
struct TableRow {
  std::string device, records, lastSeen, age, state, last, notes;
};
inline const TableRow tableHeadings{"DEVICE", "RECORDS",     "LAST SEEN", "AGE",
                                    "STATE",  "LAST RECORD", ""};
TableRow tableRow(const DeviceSummary &device, const Window &window);

// The table for the terminal, with a closing line; `width` bounds the lines.
std::string tableText(const std::vector<DeviceSummary> &devices, const Window &window,
                      std::size_t width);

// The closing line: "12 devices, 1 stale (no record for 1h)".
std::string fleetSummaryLine(const std::vector<DeviceSummary> &devices, const Window &window);
