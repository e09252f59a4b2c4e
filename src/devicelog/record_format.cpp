#include "devicelog/record_format.hpp"

#include <algorithm>
#include <cstdio>

namespace {

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
}

int number(std::string_view digits) {
  int value = 0;
  for (const char c : digits) {
    value = value * 10 + (c - '0');
  }
  return value;
}

// mktime consults the time zone each time; a device file holds many records of one hour,
// and within an hour the offset from UTC does not change.
std::time_t hourStart(std::string_view dateAndHour) {
  static thread_local std::string cachedKey;
  static thread_local std::time_t cachedTime = 0;
  if (dateAndHour != cachedKey) {
    std::tm fields{};
    fields.tm_mday = number(dateAndHour.substr(0, 2));
    fields.tm_mon = number(dateAndHour.substr(2, 2)) - 1;
    fields.tm_year = number(dateAndHour.substr(4, 4)) - 1900;
    fields.tm_hour = number(dateAndHour.substr(8, 2));
    fields.tm_isdst = -1;
    cachedTime = std::mktime(&fields);
    cachedKey = dateAndHour;
  }
  return cachedTime;
}

} // namespace

std::string formatTimestamp(std::time_t time) {
  std::tm tm_info{};
  localtime_r(&time, &tm_info);
  char timeBuffer[timestampLength + 1];
  std::strftime(timeBuffer, sizeof timeBuffer, timestampFormat, &tm_info);
  return timeBuffer;
}

std::string stampedReport(std::time_t time, std::string_view data) {
  std::string pkg = formatTimestamp(time);
  pkg.reserve(pkg.size() + 1 + data.size());
  pkg += fieldSeparator;
  pkg += data;
  return pkg;
}

std::optional<std::string_view> identifierOf(std::string_view record) {
  std::size_t start = 0;
  for (std::size_t field = 0; field < identifierField; ++field) {
    start = record.find(fieldSeparator, start);
    if (start == std::string_view::npos) {
      return std::nullopt;
    }
    ++start;
  }
  const auto end = record.find(fieldSeparator, start);
  if (end == std::string_view::npos && start == record.size()) {
    return std::nullopt; // "A," holds one field, not an empty second one
  }
  return record.substr(start, end == std::string_view::npos ? end : end - start);
}

std::optional<std::time_t> recordTime(std::string_view record) {
  if (record.size() <= timestampLength || record[timestampLength] != fieldSeparator ||
      !std::all_of(record.begin(), record.begin() + timestampLength,
                   [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const int day = number(record.substr(0, 2));
  const int month = number(record.substr(2, 2));
  const int hour = number(record.substr(8, 2));
  const int minute = number(record.substr(10, 2));
  const int second = number(record.substr(12, 2));
  if (day < 1 || day > 31 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  return hourStart(record.substr(0, 10)) + static_cast<std::time_t>(minute) * 60 + second;
}

std::string_view fieldsAfterIdentifier(std::string_view record) {
  std::size_t start = 0;
  for (std::size_t field = 0; field <= identifierField; ++field) {
    start = record.find(fieldSeparator, start);
    if (start == std::string_view::npos) {
      return {};
    }
    ++start;
  }
  return record.substr(start);
}

std::string deviceFileName(const std::string &macAddress) {
  std::string macAddressStripped = macAddress;
  macAddressStripped.erase(std::remove(macAddressStripped.begin(), macAddressStripped.end(), ':'),
                           macAddressStripped.end());
  const bool leavesLogDir =
      macAddressStripped == "." || macAddressStripped == ".." ||
      std::any_of(macAddressStripped.begin(), macAddressStripped.end(),
                  [](char c) { return c == '/' || c == '\\' || isControl(c); });
  return leavesLogDir ? std::string() : macAddressStripped + std::string(deviceFileSuffix);
}

std::optional<std::string> deviceName(const std::string &fileName) {
  if (fileName.size() < deviceFileSuffix.size() ||
      fileName.compare(fileName.size() - deviceFileSuffix.size(), std::string::npos,
                       deviceFileSuffix) != 0) {
    return std::nullopt;
  }
  return fileName.substr(0, fileName.size() - deviceFileSuffix.size());
}

std::string printable(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    if (isControl(c) || c == '\\' || static_cast<unsigned char>(c) >= 0x80) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}
