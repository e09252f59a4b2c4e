#pragma once

// What a chart on the page is drawn against, worked out without drawing: round value ticks
// for a field's range, round time ticks for the window, and the figures a panel's heading
// gives. Nothing here writes markup.

#include "fleet/model/chart_data.hpp"
#include "fleet/model/fleet.hpp"

#include <cstddef>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A value axis: from `low` to `high`, both whole multiples of `step`, which is 1, 2 or 5 times
// a power of ten; `ticks` are the multiples of `step` from `low` to `high`.
struct ValueAxis {
  double low = 0;
  double high = 0;
  double step = 0;
  std::vector<double> ticks;
};

// An axis for values from `low` to `high` with about `wanted` steps (at most twice as many).
// A single value gets room either side; values at the edge of what a double holds get an
// axis that ends there.
ValueAxis valueAxis(double low, double high, int wanted = 4);

// A tick's value as its axis shows it: as many decimals as its step needs, and no more.
std::string tickText(double value, double step);

// A figure on a panel of ticks `step` apart, such as its mean: a decimal finer than the
// ticks, without trailing zeros.
std::string figureText(double value, double step);

// A time tick: `text` under the tick, and below it `date` where the day changes from the
// tick before (and at the first tick), empty elsewhere. Ticks a day or more apart show only
// the date, in `text`. Dates carry the year when the window spans more than one year.
struct TimeTick {
  std::time_t time = 0;
  std::string text;
  std::string date;
};

// Ticks at round local times (whole minutes, hours, days or months) from `start` to `end`,
// at most `most` of them. Follows the time zone of the process (TZ).
std::vector<TimeTick> timeTicks(std::time_t start, std::time_t end, int most = 10);

// A field's figures over the window, from the slices of a chart: the last slice's mean, the
// lowest and highest value, and the mean of all its records.
struct FieldStats {
  double last = 0;
  double low = 0;
  double high = 0;
  double mean = 0;
  std::size_t records = 0;
};

// Counts `records` records whose mean is `mean` into `stats`, as the figures of slices after
// those already counted.
void addToStats(FieldStats &stats, double mean, std::size_t records);
// The same for records whose values ran from `low` to `high`.
void addToStats(FieldStats &stats, double mean, std::size_t records, double low, double high);
// The same for the records of `slice` in `field`, which it must hold.
void addToStats(FieldStats &stats, const ChartSlice &slice, std::size_t field);

// The figures of the value field numbered `field` (0 for the first after the identifier);
// nothing when no slice has a number for it.
std::optional<FieldStats> fieldStats(const std::map<long, ChartSlice> &chart, std::size_t field);

// What a panel calls a value field: its name and unit from the device list, as
// "temperature (°C)", else its number as the operator counts fields, as "field 3".
std::string fieldLabel(const DeviceField &field);
