#include "fleet/model/numbers.hpp"

#include "devicelog/record_format.hpp"

std::vector<FieldValue> numericFields(std::string_view fields) {
  std::vector<FieldValue> values;
  for (std::size_t field = 0; field < valueFieldsKept && !fields.empty(); ++field) {
    const auto comma = fields.find(fieldSeparator);
    if (const auto number = decimalNumber(fields.substr(0, comma))) {
      values.push_back({field, *number});
    }
    fields = comma == std::string_view::npos ? std::string_view() : fields.substr(comma + 1);
  }
  return values;
}

void blendMean(double &total, std::size_t &totalCount, double mean, std::size_t count) {
  totalCount += count;
  // In halves, so that a range from -1e308 to 1e308 does not overflow.
  const double weight = double(count) / double(totalCount);
  const double half = (mean / 2 - total / 2) * weight;
  total = total + half + half;
}
