#pragma once

// The operator's list of boards: which identifiers are boards, what they are called, when
// each is stale and what its values mean. Read by both programs; decided here without I/O
// but for readDeviceList.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The name and unit of one value after the identifier, such as "temperature" and "°C".
struct FieldName {
  std::string name;
  std::string unit; // empty when none is given
};

struct Device {
  std::string identifier; // as its section header writes it
  std::string key;        // deviceKey of the identifier: what a board's identifier must match
  std::string name;       // empty when none is given
  std::optional<std::int64_t> staleSeconds;
  std::string staleText; // as written, such as "15m"; empty when none is given
  std::vector<FieldName> fields;
};

struct DeviceList {
  std::vector<Device> devices; // in the order of the file

  // The device a board's `identifier` names, or nullptr when it is not on the list.
  const Device *find(std::string_view identifier) const;
};

// A mistake in a device list, worded "FILE:LINE: what is wrong".
class DeviceListError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// What two spellings of one board have in common: the identifier without colons and
// hyphens, in upper case. "24:6f:28:a1:03:5c" and "246F28A1035C" give the same key.
std::string deviceKey(std::string_view identifier);

// Seconds in a duration such as "90s", "15m", "2h" or "7d"; nothing when it is not one.
std::optional<std::int64_t> parseDuration(std::string_view text);

// The list that `text`, read from `fileName`, describes; throws DeviceListError at the first
// mistake, so that nothing is half-read.
DeviceList parseDeviceList(std::string_view text, const std::string &fileName);

// Reads and parses `file`; throws DeviceListError when it cannot be read or is wrong.
DeviceList readDeviceList(const std::filesystem::path &file);
