#pragma once

// The fleet view: which devices report, which went silent, and what they measured, read
// from the device files alone.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

// What the view looks at: records since `now - since`; silent for `stale` means stale.
struct Window {
  std::time_t now = 0;
  std::int64_t since = std::int64_t{24} * 3600;
  std::int64_t stale = 3600;
  std::string sinceText = "24h"; // both as the operator wrote them
  std::string staleText = "1h";
};

// The earliest time that a record in the window may carry.
inline std::time_t windowStart(const Window &window) {
  return window.now - window.since;
}

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
  std::string drawing;              // the chart drawn for the page, once the slices are gone
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

bool isStale(const DeviceSummary &device, const Window &window);

// Stale devices first, the longest silent first, then the others by name.
void sortForTheOperator(std::vector<DeviceSummary> &devices, const Window &window);

// Exit status in the manner of monitoring plugins: 0 when every device is fresh, 1 when some
// are stale, 2 when every device is stale or there is none.
int fleetStatus(const std::vector<DeviceSummary> &devices, const Window &window);

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

// The part of the page for one device: a chart of its numeric fields, or why there is none.
std::string drawChart(const DeviceSummary &device, const Window &window);

// One self-contained HTML page: the table, then each device's drawing.
void writePage(std::ostream &out, const std::vector<DeviceSummary> &devices, const Window &window);

// How many slices a chart has: at most this many points per line.
constexpr long chartSlices = 1000;
