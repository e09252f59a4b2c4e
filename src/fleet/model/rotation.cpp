#include "fleet/model/rotation.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>

namespace {

constexpr std::string_view compressedSuffix = ".gz";

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isSeparator(char c) {
  return c == '.' || c == '-' || c == '_';
}

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// Digits, perhaps with single separators between them: "1", "20261209", "2026-12-09".
bool isNumbering(std::string_view text) {
  if (text.empty() || !isDigit(text.front()) || !isDigit(text.back())) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!isDigit(text[i]) && !(isSeparator(text[i]) && isDigit(text[i + 1]))) {
      return false;
    }
  }
  return true;
}

// A separator and a numbering, after the whole device file's name.
bool isRotationSuffix(std::string_view text) {
  return text.size() >= 2 && isSeparator(text.front()) && isNumbering(text.substr(1));
}

// A count from 1 after a '.', as logrotate's `extension` puts it before ".csv".
bool isCount(std::string_view text) {
  return text.size() >= 2 && text.front() == '.' && text[1] != '0' &&
         std::all_of(text.begin() + 1, text.end(), isDigit);
}

// A date after a separator, with at least the 8 digits of %Y%m%d: a board's own identifier
// may well end in a hyphen and two digits, as "24-6f-28-a1-03-55" does.
bool isDate(std::string_view text) {
  return isRotationSuffix(text) && std::count_if(text.begin(), text.end(), isDigit) >= 8;
}

// The stem's identifier when the stem ends in a count or a date; the shortest such ending,
// so that an identifier of digits and hyphens keeps them.
std::optional<std::string_view> withoutRotation(std::string_view stem) {
  const auto dot = stem.rfind('.');
  if (dot != std::string_view::npos && isCount(stem.substr(dot))) {
    return stem.substr(0, dot);
  }
  for (std::size_t i = stem.size(); i-- > 0 && (isDigit(stem[i]) || isSeparator(stem[i]));) {
    if (isSeparator(stem[i]) && isDate(stem.substr(i))) {
      return stem.substr(0, i);
    }
  }
  return std::nullopt;
}

} // namespace

namespace {

std::optional<RotatedName> onceRotated(std::string_view fileName) {
  const bool compressed = endsWith(fileName, compressedSuffix);
  if (compressed) {
    fileName.remove_suffix(compressedSuffix.size());
  }
  const auto suffixAt = fileName.rfind(deviceFileSuffix);
  if (suffixAt != std::string_view::npos) {
    const auto end = suffixAt + deviceFileSuffix.size();
    if (isRotationSuffix(fileName.substr(end))) {
      return RotatedName{std::string(fileName.substr(0, end)), compressed};
    }
  }
  if (!endsWith(fileName, deviceFileSuffix)) {
    return std::nullopt;
  }
  const auto identifier =
      withoutRotation(fileName.substr(0, fileName.size() - deviceFileSuffix.size()));
  if (!identifier) {
    return std::nullopt;
  }
  return RotatedName{std::string(*identifier) + std::string(deviceFileSuffix), compressed};
}

} // namespace

std::optional<RotatedName> rotatedDeviceFile(std::string_view fileName) {
  auto rotated = onceRotated(fileName);
  // With `extension .csv`, a pattern such as *.csv takes the rotated parts for logs too, and
  // rotates them again: "X-20261209-20261209.csv" is a part of X.csv as well.
  while (rotated) {
    const auto further = onceRotated(rotated->deviceFile);
    if (!further) {
      break;
    }
    rotated->deviceFile = further->deviceFile;
  }
  return rotated;
}
