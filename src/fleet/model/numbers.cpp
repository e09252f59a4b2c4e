#include "fleet/model/numbers.hpp"

#include "devicelog/record_format.hpp"

#include <charconv>
#include <cmath>

namespace {

std::size_t digitsAt(std::string_view text, std::size_t at) {
  std::size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
    ++end;
  }
  return end - at;
}

// Whether `text` is written as a decimal number: [+-]digits[.digits][(e|E)[+-]digits], with
// digits on at least one side of the point.
bool isDecimal(std::string_view text) {
  std::size_t at = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
  std::size_t digits = digitsAt(text, at);
  at += digits;
  if (at < text.size() && text[at] == '.') {
    const std::size_t fraction = digitsAt(text, at + 1);
    digits += fraction;
    at += 1 + fraction;
  }
  if (digits == 0) {
    return false;
  }
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    at += at < text.size() && (text[at] == '+' || text[at] == '-') ? 1 : 0;
    const std::size_t exponent = digitsAt(text, at);
    if (exponent == 0) {
      return false;
    }
    at += exponent;
  }
  return at == text.size();
}

} // namespace

std::optional<double> decimalNumber(std::string_view text) {
  if (!isDecimal(text)) {
    return std::nullopt;
  }
  if (text[0] == '+') {
    text.remove_prefix(1); // from_chars takes no plus sign
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

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
