#include "devicelog/record_format.hpp"

#include <algorithm>
#include <cstdio>

namespace {

bool isControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7f;
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

bool hasTimestamp(std::string_view record) {
  return record.size() > timestampLength && record[timestampLength] == fieldSeparator &&
         std::all_of(record.begin(), record.begin() + timestampLength,
                     [](char c) { return c >= '0' && c <= '9'; });
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
