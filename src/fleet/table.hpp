#pragma once

// The fleet view's verdict on each device, stale or not, and the table that shows it to the
// operator; the exit status tells the same to a monitoring system.

#include "fleet/reading.hpp"

#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <string>
#include <vector>

// The seconds of silence after which `device` is stale: its own from the device list, else
// the window's.
std::int64_t staleSeconds(const DeviceSummary &device, const Window &window);

// Silent for its stale threshold, or never reported at all.
bool isStale(const DeviceSummary &device, const Window &window);

// The fleet as a device list sees it: a device per listed board, from its files, or a row
// saying it never reported when it has none; and apart, the files that are not on the list,
// which are not devices and count toward nothing.
struct ListedFleet {
  std::vector<DeviceSummary> devices;
  std::vector<DeviceSummary> notListed;
};
ListedFleet applyDeviceList(std::vector<DeviceSummary> files, const DeviceList &list);

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
// With a list, the files not on it are summed up in one line after the closing line.
std::string tableText(const std::vector<DeviceSummary> &devices, const Window &window,
                      std::size_t width, const std::vector<DeviceSummary> &notListed = {});

// "3 files not in the device list: HELP, JRMI, gkrellm 0.0.0"; empty when there are none.
std::string notListedLine(const std::vector<DeviceSummary> &notListed);

// The closing line: "12 devices, 1 stale (no record for 1h)".
std::string fleetSummaryLine(const std::vector<DeviceSummary> &devices, const Window &window);
