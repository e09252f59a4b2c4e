#include "base/decimal.hpp"

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
