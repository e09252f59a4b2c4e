#include "fleet/render/chart.hpp"

#include "fleet/render/text.hpp"

#include "fleet/model/time_stamps.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

// The smallest of 1, 2 or 5 times a power of ten that is at least `rough`.
double roundStep(double rough) {
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (factor * power >= rough * (1 - 1e-9) && std::isfinite(factor * power)) {
      return factor * power;
    }
  }
  return power; // at the edge of what a double holds, the power itself
}

// Room either side of a single value; at the edge of what a double holds, all of it on the
// side that has room.
void widenFlat(double &low, double &high) {
  const double value = low;
  // A unit either side, or half the value where that is less, so that a flat 0.012 is not
  // drawn against a scale whose steps round it to 0.
  const double magnitude = std::abs(value);
  const double room =
      magnitude > DBL_MIN && magnitude < 2 ? magnitude / 2 : std::max(1.0, magnitude / 1024);
  low = value - room;
  high = value + room;
  if (!std::isfinite(high)) {
    high = value;
    low = value - 2 * room;
  } else if (!std::isfinite(low)) {
    low = value;
    high = value + 2 * room;
  }
}

// A whole multiple of `step`, no further out than the largest finite double.
double multiple(double index, double step) {
  return std::clamp(index * step, -DBL_MAX, DBL_MAX);
}

std::tm localOf(std::time_t time) {
  std::tm local{};
  ::localtime_r(&time, &local);
  return local;
}

std::string formatted(const std::tm &local, const char *format) {
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, format, &local);
  return {text, length};
}

// "8 Dec", or "8 Dec 2026" when the window spans years.
std::string dateText(const std::tm &local, bool withYear) {
  return std::to_string(local.tm_mday) + formatted(local, withYear ? " %b %Y" : " %b");
}

enum class Unit { minute, hour, day, month };

struct TimeStep {
  Unit unit;
  int count;
};

// About how long a step is, for choosing one.
std::int64_t secondsOf(const TimeStep &step) {
  constexpr std::int64_t day = 86400;
  const std::int64_t unitSeconds[] = {60, 3600, day, 30 * day};
  return step.count * unitSeconds[static_cast<int>(step.unit)];
}

// clang-format off
constexpr TimeStep timeSteps[] = {
    {Unit::minute, 1}, {Unit::minute, 2}, {Unit::minute, 5}, {Unit::minute, 10},
    {Unit::minute, 15}, {Unit::minute, 30},
    {Unit::hour, 1}, {Unit::hour, 2}, {Unit::hour, 3}, {Unit::hour, 6}, {Unit::hour, 12},
    {Unit::day, 1}, {Unit::day, 2}, {Unit::day, 7}, {Unit::day, 14},
    {Unit::month, 1}, {Unit::month, 3}, {Unit::month, 6}, {Unit::month, 12}, {Unit::month, 60},
    {Unit::month, 120}, {Unit::month, 600}, {Unit::month, 1200}, {Unit::month, 6000},
};
// clang-format on

// Whether a round local time falls on a tick of `step`.
bool onStep(const std::tm &local, const TimeStep &step) {
  switch (step.unit) {
  case Unit::minute:
    return local.tm_sec == 0 && local.tm_min % step.count == 0;
  case Unit::hour:
    return local.tm_sec == 0 && local.tm_min == 0 && local.tm_hour % step.count == 0;
  case Unit::day: {
    // Weeks begin on Mondays; 1970-01-01 was a Thursday.
    const std::int64_t days =
        daysSinceEpoch(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
        (step.count % 7 == 0 ? 3 : 0);
    return ((days % step.count) + step.count) % step.count == 0;
  }
  case Unit::month:
    return (std::int64_t{local.tm_year} * 12 + local.tm_mon) % step.count == 0;
  }
  return false;
}

// The field of a local time that steps of `unit` count.
int std::tm::*countedField(Unit unit) {
  int std::tm::*const fields[] = {&std::tm::tm_min, &std::tm::tm_hour, &std::tm::tm_mday,
                                  &std::tm::tm_mon};
  return fields[static_cast<int>(unit)];
}

// The round local times of `step`'s unit from `start` to `end`, oldest first.
std::vector<std::time_t> roundTimes(std::time_t start, std::time_t end, const TimeStep &step) {
  std::vector<std::time_t> times;
  std::tm local = localOf(start);
  local.tm_sec = 0;
  if (step.unit != Unit::minute) {
    local.tm_min = 0;
  }
  if (step.unit == Unit::day || step.unit == Unit::month) {
    local.tm_hour = 0;
  }
  if (step.unit == Unit::month) {
    local.tm_mday = 1;
  }
  for (int guard = 0; guard < 100000; ++guard) {
    local.tm_isdst = -1;
    std::tm normal = local;
    const std::time_t time = std::mktime(&normal);
    if (time > end) {
      break;
    }
    if (time >= start && onStep(normal, step) && (times.empty() || time > times.back())) {
      times.push_back(time);
    }
    ++(local.*countedField(step.unit));
  }
  return times;
}

} // namespace

ValueAxis valueAxis(double low, double high, int wanted) {
  if (low > high) {
    std::swap(low, high);
  }
  if (low == high) {
    widenFlat(low, high);
  }
  // In halves, so that a range from -1e308 to 1e308 does not overflow.
  // No finer than the doubles near the values can tell apart.
  const double largest = std::max(std::abs(low), std::abs(high));
  const double spacing = largest - std::nextafter(largest, 0.0);
  const double rough = std::max((high / 2 - low / 2) / wanted * 2, 4 * spacing);
  const double step = rough > DBL_MIN ? roundStep(rough) : 1;
  ValueAxis axis{
      multiple(std::floor(low / step), step), multiple(std::ceil(high / step), step), step, {}};
  if (axis.low == axis.high) { // values too close together for a step of their own
    widenFlat(axis.low, axis.high);
    axis.step = axis.high - axis.low;
  }
  for (double index = std::ceil(axis.low / step); index * step <= axis.high; ++index) {
    if (!axis.ticks.empty() && multiple(index, step) <= axis.ticks.back()) {
      break;
    }
    axis.ticks.push_back(multiple(index, step));
    if (axis.ticks.size() > std::size_t(4) * wanted + 2) {
      break;
    }
  }
  return axis;
}

std::string tickText(double value, double step) {
  if (std::abs(value) < step / 2) {
    return "0";
  }
  char text[64];
  if (step >= 1e-6 && std::abs(value) < 1e12) {
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
  } else {
    const int digits = std::clamp(static_cast<int>(std::floor(std::log10(std::abs(value))) -
                                                   std::floor(std::log10(step) + 1e-9)) +
                                      1,
                                  1, 17);
    std::snprintf(text, sizeof text, "%.*g", digits, value);
  }
  return text;
}

std::string figureText(double value, double step) {
  std::string text = tickText(value, step / 10);
  if (text.find('.') != std::string::npos && text.find('e') == std::string::npos) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') {
      text.pop_back();
    }
  }
  return text;
}

std::vector<TimeTick> timeTicks(std::time_t start, std::time_t end, int most) {
  std::vector<TimeTick> ticks;
  if (end <= start) {
    return ticks;
  }
  const std::int64_t span = end - start;
  const TimeStep *chosen = &timeSteps[std::size(timeSteps) - 1];
  for (const TimeStep &step : timeSteps) {
    if (span / secondsOf(step) < most) {
      chosen = &step;
      break;
    }
  }
  const bool withYear = localOf(start).tm_year != localOf(end).tm_year;
  const bool byDate = chosen->unit == Unit::day || chosen->unit == Unit::month;
  std::string previousDate;
  for (const std::time_t time : roundTimes(start, end, *chosen)) {
    const std::tm local = localOf(time);
    TimeTick tick{time, {}, {}};
    if (chosen->unit == Unit::month) {
      tick.text = formatted(local, withYear ? "%b %Y" : "%b");
    } else if (byDate) {
      tick.text = dateText(local, withYear);
    } else {
      tick.text = formatted(local, "%H:%M");
      const std::string date = dateText(local, withYear);
      if (date != previousDate) {
        tick.date = date;
      }
      previousDate = date;
    }
    ticks.push_back(std::move(tick));
  }
  return ticks;
}

void addToStats(FieldStats &stats, double mean, std::size_t records) {
  addToStats(stats, mean, records, mean, mean);
}

void addToStats(FieldStats &stats, const ChartSlice &slice, std::size_t field) {
  addToStats(stats, slice.means[field], slice.counts[field], slice.lows[field], slice.highs[field]);
}

void addToStats(FieldStats &stats, double mean, std::size_t records, double low, double high) {
  stats.low = stats.records == 0 ? low : std::min(stats.low, low);
  stats.high = stats.records == 0 ? high : std::max(stats.high, high);
  stats.last = mean;
  blendMean(stats.mean, stats.records, mean, records);
}

std::optional<FieldStats> fieldStats(const std::map<long, ChartSlice> &chart, std::size_t field) {
  FieldStats stats;
  for (const auto &[number, slice] : chart) {
    if (field >= slice.means.size() || slice.counts[field] == 0) {
      continue;
    }
    addToStats(stats, slice, field);
  }
  if (stats.records == 0) {
    return std::nullopt;
  }
  return stats;
}

std::string fieldLabel(const DeviceField &field) {
  const std::string_view unit = field.unit();
  return field.name() + (unit.empty() ? "" : " (" + std::string(unit) + ")");
}
