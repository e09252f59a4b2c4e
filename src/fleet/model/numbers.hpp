#pragma once

// What counts as a measured value in a record, by one rule for every output of the fleet
// view, and the running means that gather them.

#include "base/decimal.hpp"

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

// The value fields a record is read for: the first this many after the identifier. A peer's
// line may hold thousands of fields; no operator charts more.
constexpr std::size_t valueFieldsKept = 32;

// The number the operator counts the first value after the identifier by: the time stamp is
// field 1, the identifier field 2. Every output numbers fields so.
constexpr std::size_t firstValueFieldNumber = 3;

// One numeric field of a record: `field` counts from 0, the first after the identifier.
struct FieldValue {
  std::size_t field = 0;
  double value = 0;
};

// The numeric fields among the first valueFieldsKept of `fields`, the text after the
// identifier, in their order.
std::vector<FieldValue> numericFields(std::string_view fields);

// Blends `count` values whose mean is `mean` into `total`, the mean of `totalCount` values
// before, which then counts them too. No sum is formed, so that values near the largest a
// double holds stay finite.
void blendMean(double &total, std::size_t &totalCount, double mean, std::size_t count);
