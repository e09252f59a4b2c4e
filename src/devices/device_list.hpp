#pragma once

// The operator's list of boards: which identifiers are boards, what they are called, when
// each is stale and what its values mean. Read by both programs; decided here without I/O
// but for readDeviceList.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

// When a value alerts, in the manner of monitoring plugins: outside start..end (ends
// included in the range), or inside it when written with '@'.
struct AlertRange {
  std::optional<double> start; // nothing: no lower end ("~")
  std::optional<double> end;   // nothing: no upper end
  bool inside = false;         // '@': alert inside start..end, ends included
  std::string text;            // as written, such as "@10:20", for perfdata
};

// Whether `value` alerts against `range`.
bool alerts(const AlertRange &range, double value);

// The range `text` writes, such as "10", "10:", "~:10", "10:20" or "@10:20", or what is wrong
// with it, such as "its start is above its end".
std::variant<AlertRange, std::string> parseAlertRange(std::string_view text);

// The name and unit of one value after the identifier, such as "temperature" and "°C", and
// the ranges its value warns and is critical in. The ranges' "{}" lets a field still be
// written {name, unit}.
struct FieldName {
  std::string name;
  std::string unit;                         // empty when none is given
  std::optional<AlertRange> warn{}, crit{}; // nothing: the value never warns, or is never critical
};

// A board's fields, read-only. Those of a kind are shared by its boards, not copied: a list of
// 100,000 boards of a few kinds holds a few sets of fields, not 100,000.
class Fields {
public:
  Fields() = default;
  Fields(std::vector<FieldName> fields) // NOLINT(google-explicit-constructor): a list is fields
      : fields_(std::make_shared<const std::vector<FieldName>>(std::move(fields))) {}

  const std::vector<FieldName> &all() const {
    static const std::vector<FieldName> none;
    return fields_ ? *fields_ : none;
  }
  std::size_t size() const {
    return all().size();
  }
  bool empty() const {
    return all().empty();
  }
  const FieldName &operator[](std::size_t field) const {
    return all()[field];
  }
  std::vector<FieldName>::const_iterator begin() const {
    return all().begin();
  }
  std::vector<FieldName>::const_iterator end() const {
    return all().end();
  }

private:
  std::shared_ptr<const std::vector<FieldName>> fields_;
};

struct Device {
  std::string identifier; // as its section header writes it
  std::string key;        // deviceKey of the identifier: what a board's identifier must match
  std::string name;       // empty when none is given
  std::string kind;       // the name of its [kind NAME] section; empty when none is given
  std::optional<std::int64_t> staleSeconds;
  std::string staleText; // as written, such as "15m"; empty when none is given
  Fields fields;
};

// The list as parseDeviceList fills it: `devices` is to be read, not changed, since find
// looks a board up through an index of its own. Kinds are not boards: each board holds what
// its kind gives it, and neither `devices` nor find knows the kinds.
struct DeviceList {
  std::vector<Device> devices; // in the order of the file

  // The device a board's `identifier` names, or nullptr when it is not on the list. Every
  // report is checked against the list, so it takes the same time for 10 boards or 100,000.
  const Device *find(std::string_view identifier) const;

private:
  friend DeviceList parseDeviceList(std::string_view text, const std::string &fileName);

  // Key to the position in `devices`: positions, not pointers, stay right in a copy.
  std::unordered_map<std::string, std::size_t> indexOfKey_;
};

// The keys of a list's boards and nothing more: all the collector needs to tell a board from
// the rest. It holds them for months and reads a new list beside them on a reload, so it
// keeps these, about the list's size, rather than the whole list, about ten times it.
class DeviceKeys {
public:
  explicit DeviceKeys(const DeviceList &list);

  // Whether `identifier`, in any spelling, names a board of the list.
  bool contains(std::string_view identifier) const;
  std::size_t size() const {
    return sorted_.size();
  }

private:
  std::vector<std::string> sorted_;
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

// The most a device list may hold: room for 100,000 boards of a few lines each, and a bound
// on what a wrong path, or a file that keeps growing, can make the collector hold in memory.
constexpr std::size_t maxDeviceListBytes = std::size_t{16} << 20;

// Reads and parses `file`; throws DeviceListError when it cannot be read or is wrong, and at
// once when it is not a regular file or holds more than maxDeviceListBytes.
DeviceList readDeviceList(const std::filesystem::path &file);
