// The scales of a device's chart, worked out from its slices alone.

#include "fleet/page.hpp"

#include <gtest/gtest.h>

namespace {

ChartSlice slice(std::vector<double> means, std::vector<unsigned> counts) {
  return {0, 0, std::move(means), std::move(counts)};
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

} // namespace
