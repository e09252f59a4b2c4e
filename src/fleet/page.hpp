#pragma once

// The fleet view as one self-contained HTML page: the table, then a chart per device of the
// numeric fields of its records.

#include "fleet/reading.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

// What a device's chart spans: time across, from the start of the window, and values up.
struct ChartScales {
  std::time_t start = 0;  // the window's start, at the left edge
  std::int64_t span = 0;  // seconds from the left edge to the right
  std::size_t fields = 0; // one line per field, as many as the slice with the most
  double low = 0;         // the lowest and highest slice average of any field; a flat chart
  double high = 0;        // gets 1 either side, so that its line runs across the middle
};

// The scales for `chart`; nothing when none of its slices has a numeric value.
std::optional<ChartScales> chartScales(const std::map<long, ChartSlice> &chart,
                                       const Window &window);

// Each device's part of the page, drawn as soon as its file is read so that its chart slices
// can be dropped before the next file is read; the page itself is written once every file is
// read and the devices are sorted.
class PageDrawings {
public:
  explicit PageDrawings(Window window);

  // The device's chart, or why it has none.
  void draw(const DeviceSummary &device);
  const std::string &of(const DeviceSummary &device) const;

private:
  Window window_;
  std::map<std::string, std::string> byDevice_; // by name, unique as the file names are
};

// The page: the table, then each device's drawing.
void writePage(std::ostream &out, const std::vector<DeviceSummary> &devices,
               const PageDrawings &drawings, const Window &window);
