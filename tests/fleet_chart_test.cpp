// The charts of the page, worked out from a device's slices alone: their scales, the silences
// that break their lines, and values at the edge of what a double holds.

#include "fleet/page.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <regex>

namespace {

ChartSlice slice(std::vector<double> means, std::vector<unsigned> counts) {
  return {0, 0, std::move(means), std::move(counts)};
}

// A slice whose records came from `first` to `last`, each with the value `value`.
ChartSlice slice(std::time_t first, std::time_t last, double value) {
  return {first, last, {value}, {1}};
}

TEST(ChartScales, SpanTheWindowAndTheSliceAveragesOfEveryField) {
  struct Case {
    const char *what;
    std::map<long, ChartSlice> chart;
    std::size_t fields;
    double low, high;
  };
  const Case cases[] = {
      {"means of every field", {{0, slice({5, 4}, {2, 1})}, {1, slice({1}, {3})}}, 2, 1, 5},
      {"a field with no number in a slice is not a zero",
       {{0, slice({0, 7}, {0, 1})}, {1, slice({0, 9}, {0, 1})}},
       2,
       7,
       9},
      {"as many fields as the widest slice",
       {{0, slice({1}, {1})}, {5, slice({1, 2, 3}, {1, 1, 1})}},
       3,
       1,
       3},
      {"below zero", {{0, slice({-2}, {2})}, {1, slice({6}, {1})}}, 1, -2, 6},
      {"flat: 1 either side", {{0, slice({5}, {1})}, {1, slice({5}, {2})}}, 1, 4, 6},
  };
  const Window window{1000, {600, "10m"}};
  for (const auto &c : cases) {
    const auto scales = chartScales(c.chart, window);
    ASSERT_TRUE(scales) << c.what;
    EXPECT_EQ(scales->start, 400) << c.what;
    EXPECT_EQ(scales->span, 600) << c.what;
    EXPECT_EQ(scales->fields, c.fields) << c.what;
    EXPECT_EQ(scales->low, c.low) << c.what;
    EXPECT_EQ(scales->high, c.high) << c.what;
  }
}

TEST(ChartScales, NoneWithoutANumber) {
  const std::map<long, ChartSlice> charts[] = {
      {},                                               // no slice
      {{0, slice({}, {})}},                             // records of text alone
      {{0, slice({0, 0}, {0, 0})}, {3, slice({}, {})}}, // fields, but none with a number
  };
  for (const auto &chart : charts) {
    EXPECT_FALSE(chartScales(chart, Window{})) << chart.size() << " slices";
  }
}

// A device's section of the page, from its records: how long before the window's end each
// came, oldest first, and its value.
std::string sectionOf(const std::vector<std::pair<std::time_t, double>> &records,
                      const Window &window) {
  DeviceSummary device;
  device.name = "A";
  std::time_t previous = 0;
  for (const auto &[ago, value] : records) {
    const std::time_t time = window.now - ago;
    const auto number =
        static_cast<long>((time - windowStart(window)) * chartSlices / window.since.seconds);
    const auto [it, fresh] = device.chart.emplace(number, slice(time, time, value));
    it->second.time = time; // records come oldest first

    if (previous != 0) {
      device.intervals.add(time - previous);
    }
    previous = time;
    ++device.records;
  }
  return deviceSection(device, window);
}

std::size_t count(const std::string &text, const std::string &what) {
  const std::regex pattern(what);
  return static_cast<std::size_t>(std::distance(
      std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
}

TEST(Chart, NeverDrawsANumberThatIsNotFinite) {
  const Window window{100000, {86400, "24h"}};
  const std::string section =
      sectionOf({{4000, 1e308}, {3000, -1e308}, {2000, DBL_MAX}, {1000, -DBL_MAX}, {0, 5}}, window);
  EXPECT_EQ(count(section, "<polyline"), 1U) << section;
  EXPECT_EQ(count(section, "nan|inf"), 0U) << section;
  const std::string flat = sectionOf({{1000, DBL_MAX}, {0, DBL_MAX}}, window);
  EXPECT_EQ(count(flat, "<polyline"), 1U) << flat;
  EXPECT_EQ(count(flat, "nan|inf"), 0U) << flat;
}

TEST(Chart, BreaksItsLinesWhereTheDeviceWasSilent) {
  struct Case {
    const char *what;
    std::vector<std::pair<std::time_t, double>> records;
    std::int64_t stale;
    std::size_t lines, silences;
  };
  // Records every minute for two hours, ending `end` seconds before now, leaving out those
  // from `from` to `to` seconds before now.
  const auto everyMinute = [](std::time_t start, std::time_t end, std::time_t from = 0,
                              std::time_t to = 0) {
    std::vector<std::pair<std::time_t, double>> records;
    for (std::time_t ago = start; ago >= end; ago -= 60) {
      if (ago > to || ago < from) {
        records.emplace_back(ago, static_cast<double>(ago % 7));
      }
    }
    return records;
  };
  const Case cases[] = {
      {"no silence", everyMinute(80000, 0), 3600, 1, 0},
      {"six hours of silence: longer than stale", everyMinute(80000, 0, 20000, 41600), 3600, 2, 1},
      {"six minutes: five times the usual interval", everyMinute(80000, 0, 20000, 20300), 3600, 2,
       1},
      {"four minutes: not a silence", everyMinute(80000, 0, 20000, 20180), 3600, 1, 0},
      {"silent up to now", everyMinute(80000, 7200), 3600, 1, 1},
  };
  for (const Case &c : cases) {
    const Window window{100000, {86400, "24h"}, {c.stale, "1h"}};
    const std::string section = sectionOf(c.records, window);
    EXPECT_EQ(count(section, "<polyline"), c.lines) << c.what;
    EXPECT_EQ(count(section, "<rect class='silence'"), c.silences) << c.what;
  }
}

TEST(Chart, TheUsualIntervalIsTheMedianNotTheMean) {
  IntervalTally tally;
  for (int i = 0; i < 100; ++i) {
    tally.add(60);
  }
  tally.add(std::int64_t{6} * 3600);
  tally.add(std::int64_t{3} * 3600);
  EXPECT_EQ(tally.usual(), 60.0);
  EXPECT_FALSE(IntervalTally().usual());
}

} // namespace
