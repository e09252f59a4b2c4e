// The charts of the page, worked out from a device's slices alone: their value and time
// ticks, the figures of their headings, the silences that break their lines, and values at
// the edge of what a double holds.

#include "fleet_fixture.hpp"

#include "fleet/render/chart.hpp"
#include "fleet/render/page.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <regex>
#include <sstream>

using namespace fleet_fixture;

namespace {

// A slice of records whose values in each field were all its mean.
ChartSlice slice(const std::vector<double> &means, std::vector<std::size_t> counts) {
  return {0, 0, means, means, means, std::move(counts)};
}

TEST(ValueAxis, StepsAtOneTwoOrFiveTimesAPowerOfTen) {
  struct Case {
    double low, high;
    double step, axisLow, axisHigh;
    std::size_t ticks;
  };
  const Case cases[] = {
      {13.2, 24.1, 5, 10, 25, 4}, // a day of temperatures
      {45, 67, 10, 40, 70, 4},    // of humidity
      {0, 1, 0.5, 0, 1, 3},       // exactly on steps
      {-3.5, 2.2, 2, -4, 4, 5},   // either side of zero
      {1013.1, 1013.4, 0.1, 1013.1, 1013.4, 4},
      {0.00012, 0.00047, 0.0001, 0.0001, 0.0005, 5},
      {5, 5, 0.5, 4, 6, 5},                  // flat: 1 either side
      {2e6, 2e6, 1000, 1998000, 2002000, 5}, // flat: a 1,024th either side
      {0.012, 0.012, 0.005, 0.005, 0.02, 4}, // flat and small: half itself either side
      {-7, -7.5, 0.2, -7.6, -7, 4},          // given the wrong way round
  };
  for (const Case &c : cases) {
    const ValueAxis axis = valueAxis(c.low, c.high);
    const std::string what = std::to_string(c.low) + " to " + std::to_string(c.high);
    EXPECT_DOUBLE_EQ(axis.step, c.step) << what;
    EXPECT_NEAR(axis.low, c.axisLow, c.step * 1e-6) << what;
    EXPECT_NEAR(axis.high, c.axisHigh, c.step * 1e-6) << what;
    EXPECT_EQ(axis.ticks.size(), c.ticks) << what;
    for (const double tick : axis.ticks) {
      const double multiple = tick / axis.step;
      EXPECT_NEAR(multiple, std::round(multiple), 1e-6) << what << ": " << tick;
      EXPECT_GE(tick, axis.low - c.step * 1e-6) << what;
      EXPECT_LE(tick, axis.high + c.step * 1e-6) << what;
    }
    EXPECT_LE(axis.low, std::min(c.low, c.high)) << what;
    EXPECT_GE(axis.high, std::max(c.low, c.high)) << what;
  }
}

TEST(ValueAxis, FiniteAtTheEdgeOfWhatADoubleHolds) {
  const std::pair<double, double> ranges[] = {
      {-DBL_MAX, DBL_MAX}, {DBL_MAX, DBL_MAX}, {-DBL_MAX, -DBL_MAX},         {1e308, 1.5e308},
      {0, DBL_MIN},        {0, 5e-324},        {1, std::nextafter(1.0, 2.0)}};
  for (const auto &[low, high] : ranges) {
    const ValueAxis axis = valueAxis(low, high);
    EXPECT_TRUE(std::isfinite(axis.low) && std::isfinite(axis.high)) << low << " " << high;
    EXPECT_LT(axis.low, axis.high) << low << " " << high;
    EXPECT_GT(axis.step, 0) << low << " " << high;
    EXPECT_LE(axis.ticks.size(), 18U)
        << low << " " << high << " step " << axis.step << " " << axis.low << " " << axis.high;
    for (const double tick : axis.ticks) {
      EXPECT_TRUE(std::isfinite(tick)) << low << " " << high;
    }
  }
}

TEST(ValueAxis, TicksShowTheDecimalsTheirStepNeeds) {
  struct Case {
    double value, step;
    const char *text;
  };
  const Case cases[] = {
      {20, 5, "20"},           {17.5, 0.5, "17.5"},
      {1013.2, 0.1, "1013.2"}, {0.0003, 0.0001, "0.0003"},
      {-4, 2, "-4"},           {1e-17, 0.2, "0"},
      {2e15, 1e15, "2e+15"},   {21.34, 0.05, "21.34"},
      {3e-9, 1e-9, "3e-09"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(tickText(c.value, c.step), c.text) << c.value << " by " << c.step;
  }
  // Figures a decimal finer than the ticks, without trailing zeros.
  const Case figures[] = {
      {21, 0.5, "21"}, {20.5, 0.5, "20.5"}, {18.237, 0.5, "18.24"}, {18.237, 5, "18.2"},
      {-0.04, 1, "0"}, {1000, 100, "1000"}, {2e15, 1e15, "2e+15"},  {0.0626, 0.01, "0.063"},
  };
  for (const Case &c : figures) {
    EXPECT_EQ(figureText(c.value, c.step), c.text) << c.value << " by " << c.step;
  }
}

// Seconds since the epoch of a UTC date and time.
std::time_t utc(int year, int month, int day, int hour = 0, int minute = 0) {
  std::tm time{};
  time.tm_year = year - 1900;
  time.tm_mon = month - 1;
  time.tm_mday = day;
  time.tm_hour = hour;
  time.tm_min = minute;
  return ::timegm(&time);
}

TEST(TimeTicks, FallOnRoundHoursOrDaysWithTheDateWhereTheDayChanges) {
  const TimeZone utcOnly("UTC"); // so that the table holds for any machine
  struct Case {
    const char *what;
    std::time_t start, end;
    std::string ticks; // each tick's text, and its date below it in brackets
  };
  const Case cases[] = {
      {"a day from an odd minute, across midnight", utc(2026, 12, 7, 13, 1),
       utc(2026, 12, 8, 13, 1),
       "15:00 (7 Dec), 18:00, 21:00, 00:00 (8 Dec), 03:00, 06:00, 09:00, 12:00"},
      {"six hours", utc(2026, 12, 8, 9, 59), utc(2026, 12, 8, 15, 59),
       "10:00 (8 Dec), 11:00, 12:00, 13:00, 14:00, 15:00"},
      {"ten minutes", utc(2026, 12, 8, 9, 58), utc(2026, 12, 8, 10, 8),
       "09:58 (8 Dec), 10:00, 10:02, 10:04, 10:06, 10:08"},
      {"a week: days, by date alone", utc(2026, 12, 1, 12), utc(2026, 12, 8, 12),
       "2 Dec, 3 Dec, 4 Dec, 5 Dec, 6 Dec, 7 Dec, 8 Dec"},
      {"a day across the new year: the year shown", utc(2026, 12, 31, 12), utc(2027, 1, 1, 12),
       "12:00 (31 Dec 2026), 15:00, 18:00, 21:00, 00:00 (1 Jan 2027), 03:00, 06:00, 09:00, 12:00"},
      {"a week across the new year", utc(2026, 12, 28), utc(2027, 1, 3),
       "28 Dec 2026, 29 Dec 2026, 30 Dec 2026, 31 Dec 2026, 1 Jan 2027, 2 Jan 2027, 3 Jan 2027"},
      {"a year: months", utc(2026, 1, 15), utc(2026, 12, 15), "Apr, Jul, Oct"},
  };
  for (const Case &c : cases) {
    std::string ticks;
    for (const TimeTick &tick : timeTicks(c.start, c.end)) {
      ticks += (ticks.empty() ? "" : ", ") + tick.text +
               (tick.date.empty() ? "" : " (" + tick.date + ")");
      EXPECT_GE(tick.time, c.start) << c.what;
      EXPECT_LE(tick.time, c.end) << c.what;
    }
    EXPECT_EQ(ticks, c.ticks) << c.what;
  }
  EXPECT_TRUE(timeTicks(100, 100).empty());
}

// Where clocks change, ticks stay at round local hours, in order, each with its own label.
TEST(TimeTicksWhereClocksChange, StayAtRoundLocalHours) {
  const TimeZone berlin("Europe/Berlin");
  const std::pair<std::time_t, std::time_t> days[] = {
      {utc(2026, 3, 28, 23), utc(2026, 3, 29, 22)},   // 23 hours: 02:00 does not exist
      {utc(2026, 10, 24, 22), utc(2026, 10, 25, 23)}, // 25 hours: 02:00 comes twice
  };
  for (const auto &[start, end] : days) {
    const auto ticks = timeTicks(start, end);
    ASSERT_GE(ticks.size(), 6U) << start;
    for (std::size_t i = 0; i < ticks.size(); ++i) {
      std::tm local{};
      ::localtime_r(&ticks[i].time, &local);
      EXPECT_EQ(local.tm_min, 0) << ticks[i].text;
      EXPECT_EQ(local.tm_hour % 3, 0) << ticks[i].text;
      if (i > 0) {
        EXPECT_GT(ticks[i].time, ticks[i - 1].time) << ticks[i].text;
        EXPECT_NE(ticks[i].text, ticks[i - 1].text) << ticks[i].text;
      }
    }
  }
}

TEST(FieldStats, LastLowestHighestAndMeanOfTheRecords) {
  struct Case {
    const char *what;
    std::map<long, ChartSlice> chart;
    std::size_t field;
    FieldStats stats; // last, low, high, mean, records
  };
  const Case cases[] = {
      {"one field",
       {{0, slice({4}, {1})}, {1, slice({8}, {1})}, {2, slice({6}, {1})}},
       0,
       {6, 4, 8, 6, 3}},
      {"the mean weighs each slice by its records",
       {{0, slice({4}, {3})}, {1, slice({8}, {1})}},
       0,
       {8, 4, 8, 5, 4}},
      {"the second field, missing from a slice",
       {{0, slice({1, 50}, {1, 1})}, {1, slice({2}, {1})}, {2, slice({3, 40}, {1, 1})}},
       1,
       {40, 40, 50, 45, 2}},
      {"a slice without a number for the field",
       {{0, slice({0, 7}, {0, 2})}, {1, slice({9, 9}, {1, 0})}},
       0,
       {9, 9, 9, 9, 1}},
      {"the lowest and highest record, not slice mean",
       {{0, {0, 0, {5}, {1}, {9}, {2}}}},
       0,
       {5, 1, 9, 5, 2}},
      {"at the edge of what a double holds",
       {{0, slice({DBL_MAX}, {1})}, {1, slice({-DBL_MAX}, {1})}},
       0,
       {-DBL_MAX, -DBL_MAX, DBL_MAX, 0, 2}},
  };
  for (const Case &c : cases) {
    const auto stats = fieldStats(c.chart, c.field);
    ASSERT_TRUE(stats) << c.what;
    EXPECT_EQ(stats->last, c.stats.last) << c.what;
    EXPECT_EQ(stats->low, c.stats.low) << c.what;
    EXPECT_EQ(stats->high, c.stats.high) << c.what;
    EXPECT_DOUBLE_EQ(stats->mean, c.stats.mean) << c.what;
    EXPECT_EQ(stats->records, c.stats.records) << c.what;
  }
  EXPECT_FALSE(fieldStats({}, 0));
  EXPECT_FALSE(fieldStats({{0, slice({1}, {1})}}, 1));
  EXPECT_FALSE(fieldStats({{0, slice({1, 0}, {1, 0})}}, 1));
}

// Records of the device A: how long before now each came, oldest first, and its values.
using Records = std::vector<std::pair<std::int64_t, std::string>>;

// The page of the fleet that A's file, the files of the devices `others` and the device list
// `list`, if one is given, make.
std::string pageOf(const Records &records, const std::string &list = "",
                   const std::vector<std::string> &others = {}) {
  const TempDir dir;
  std::string contents;
  for (const auto &[ago, values] : records) {
    contents += record(ago, "A," + values);
  }
  dir.write("A.csv", contents);
  for (const std::string &other : others) {
    dir.write(other + ".csv", record(60, other + ",<script>alert(1)</script>,\"q'"));
  }
  const Window window{now, {day, "24h"}};
  const auto devices = list.empty() ? std::nullopt : std::optional(parseDeviceList(list, "list"));
  std::ostringstream page;
  writePage(page, readFleet({dir.path()}, window, devices ? &*devices : nullptr),
            [&](const FleetDevice &device) { return readChart({dir.path()}, device, window); });
  return page.str();
}

std::size_t count(const std::string &text, const std::string &what) {
  const std::regex pattern(what);
  return static_cast<std::size_t>(std::distance(
      std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
}

TEST(Chart, NeverDrawsANumberThatIsNotFinite) {
  const std::string max = "1.7976931348623157e308";
  const std::string page =
      pageOf({{4000, "1e308"}, {3000, "-1e308"}, {2000, max}, {1000, "-" + max}, {0, "5"}});
  EXPECT_EQ(count(page, "<polyline"), 1U) << page;
  EXPECT_EQ(count(page, "nan|inf"), 0U) << page;
  const std::string flat = pageOf({{1000, max}, {0, max}});
  EXPECT_EQ(count(flat, "<polyline"), 1U) << flat;
  EXPECT_EQ(count(flat, "nan|inf"), 0U) << flat;
}

TEST(Chart, BreaksItsLinesWhereTheDeviceWasSilent) {
  struct Case {
    const char *what;
    Records records;
    std::string list;
    std::size_t lines, silences;
  };
  // Records every `step` seconds from `start` to `end` seconds before now, leaving out those
  // from `from` to `to` seconds before now.
  const auto every = [](std::int64_t step, std::int64_t start, std::int64_t end,
                        std::int64_t from = 0, std::int64_t to = 0) {
    Records records;
    for (std::int64_t ago = start; ago >= end; ago -= step) {
      if (ago > to || ago < from) {
        records.emplace_back(ago, std::to_string(ago % 7));
      }
    }
    return records;
  };
  const Case cases[] = {
      {"no silence", every(60, 80000, 0), "", 1, 0},
      {"six hours of silence: longer than stale", every(60, 80000, 0, 20000, 41600), "", 2, 1},
      {"six minutes: five times the usual interval", every(60, 80000, 0, 20000, 20300), "", 2, 1},
      {"four minutes: not a silence", every(60, 80000, 0, 20000, 20180), "", 1, 0},
      {"silent up to now", every(60, 80000, 7200), "", 1, 1},
      {"forty minutes, records ten apart: not a silence", every(600, 80000, 0, 21000, 22500), "", 1,
       0},
      {"but past the device's own stale", every(600, 80000, 0, 21000, 22500), "[A]\nstale = 20m\n",
       2, 1},
  };
  for (const Case &c : cases) {
    const std::string page = pageOf(c.records, c.list);
    EXPECT_EQ(count(page, "<polyline"), c.lines) << c.what;
    EXPECT_EQ(count(page, "<rect class='silence'"), c.silences) << c.what;
  }
}

TEST(Chart, TheUsualIntervalIsTheMedianNotTheMean) {
  IntervalTally tally;
  for (int i = 0; i < 100; ++i) {
    tally.add(60);
  }
  tally.add(std::int64_t{6} * 3600);
  tally.add(std::int64_t{3} * 3600);
  for (int i = 0; i < 200; ++i) {
    tally.add(0); // a record sent twice in one second
  }
  EXPECT_EQ(tally.usual(), 60.0);
  EXPECT_FALSE(IntervalTally().usual());
}

TEST(Page, WithAListNamesDevicesAndFieldsAndListsTheFilesNotOnIt) {
  struct Case {
    const char *what;
    std::string list;
    std::vector<std::string> others; // files beside A's
    std::vector<const char *> shown;
  };
  const Case cases[] = {
      {"no list",
       "",
       {},
       {"<h2>A</h2>", "<h3>field 3 <span class='stats'>last 21 · min 19 · max 21 · mean 20",
        "<title>field 3</title>", "<title>[0-9-]+ [0-9:]+: 19 \\(1 record\\)</title>"}},
      {"a name and a unit",
       "[A]\nname = Cellar <north>\nfields = temperature (°C)\n",
       {},
       {"<td class='device'><a href='#device-A'>A \\(Cellar &lt;north&gt;\\)</a></td>",
        "<section class='device' id='device-A'>",
        "<h2>A<span class='name'>Cellar &lt;north&gt;</span></h2>",
        "<h3>temperature \\(°C\\) <span class='stats'>last 21 °C · min 19 · max 21 · mean 20",
        "<title>[0-9-]+ [0-9:]+: 21 °C \\(1 record\\)</title>"}},
      {"on the list without a name", "[A]\n", {}, {"<h2>A</h2>", "<h3>field 3 "}},
      {"a value out of its range marks its row and panel over the range's band",
       "[A]\nfields = t\nwarn = t 0:20\n",
       {},
       {"<tr class='warning'>", "<div class='panel warning'>\n<h3>t <span class='state'>WARNING",
        "<rect class='range' x='64' y='8.0' width='922' height='[0-9.]+' fill='#fff3cd'/>"}},
      {"a board that never reported", "[A]\n[B]\n", {}, {"<h2>B</h2>\n<p class='none'>Never"}},
      {"files the list does not name",
       "[A]\n",
       {"HELP", "<b>"},
       {"<h2>2 files not in the device list</h2>\n"
        "<ul class='unlisted'><li>&lt;b&gt;</li><li>HELP</li></ul>"}},
      {"one such file", "[A]\n", {"HELP"}, {"<h2>1 file not in the device list</h2>"}},
      {"what devices send is text, never markup",
       "",
       {"<b>x&y"},
       {"<a href='#device-_3cb_3ex_26y'>&lt;b&gt;x&amp;y</a>", "<h2>&lt;b&gt;x&amp;y</h2>",
        "id='device-_3cb_3ex_26y'"}},
  };
  for (const Case &c : cases) {
    const std::string page = pageOf({{7200, "19"}, {3600, "20"}, {0, "21"}}, c.list, c.others);
    for (const char *shown : c.shown) {
      EXPECT_EQ(count(page, shown), 1U) << c.what << ": " << shown << "\n" << page;
    }
    EXPECT_EQ(count(page, "not in the device list</h2>"),
              c.others.empty() || c.list.empty() ? 0U : 1U)
        << c.what;
    EXPECT_EQ(count(page, "<b>|<script|'q"), 0U) << c.what;
  }
}

} // namespace
