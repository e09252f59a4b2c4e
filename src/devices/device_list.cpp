// The device list's INI-like format: sections named by identifiers, three keys, comments.

#include "devices/device_list.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Splits "temperature (°C), humidity (%)" into names and units.
std::vector<FieldName> parseFields(std::string_view text, const std::string &where) {
  std::vector<FieldName> fields;
  while (true) {
    const auto comma = text.find(',');
    const std::string_view piece = trimmed(text.substr(0, comma));
    FieldName field;
    const auto open = piece.find('(');
    if (open != std::string_view::npos && piece.back() == ')') {
      field.name = std::string(trimmed(piece.substr(0, open)));
      field.unit = std::string(trimmed(piece.substr(open + 1, piece.size() - open - 2)));
    } else {
      field.name = std::string(piece);
    }
    if (field.name.empty()) {
      throw DeviceListError(where + "a field without a name");
    }
    fields.push_back(std::move(field));
    if (comma == std::string_view::npos) {
      return fields;
    }
    text.remove_prefix(comma + 1);
  }
}

void setKey(Device &device, std::string_view key, std::string_view value,
            const std::string &where) {
  if (key == "name") {
    device.name = std::string(value);
  } else if (key == "stale") {
    const auto seconds = parseDuration(value);
    if (!seconds) {
      throw DeviceListError(where + "stale must be a duration such as 90s, 15m, 2h or 7d, not '" +
                            std::string(value) + "'");
    }
    device.staleSeconds = seconds;
    device.staleText = std::string(value);
  } else if (key == "fields") {
    device.fields = parseFields(value, where);
  } else {
    throw DeviceListError(where + "unknown key '" + std::string(key) +
                          "' (name, stale and fields are known)");
  }
}

} // namespace

std::string deviceKey(std::string_view identifier) {
  std::string key;
  for (const char c : identifier) {
    if (c != ':' && c != '-') {
      key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return key;
}

std::optional<std::int64_t> parseDuration(std::string_view text) {
  if (text.size() < 2 || text.size() > 10 ||
      text.find_first_not_of("0123456789") != text.size() - 1) {
    return std::nullopt;
  }
  const std::int64_t count = std::stoll(std::string(text.substr(0, text.size() - 1)));
  const auto unit = std::string_view("smhd").find(text.back());
  const std::int64_t unitSeconds[] = {1, 60, 3600, 86400};
  if (count <= 0 || unit == std::string_view::npos) {
    return std::nullopt;
  }
  return count * unitSeconds[unit];
}

const Device *DeviceList::find(std::string_view identifier) const {
  const std::string key = deviceKey(identifier);
  const auto found = std::find_if(devices.begin(), devices.end(),
                                  [&](const Device &device) { return device.key == key; });
  return found == devices.end() ? nullptr : &*found;
}

DeviceList parseDeviceList(std::string_view text, const std::string &fileName) {
  DeviceList list;
  int lineNumber = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::string where = fileName + ":" + std::to_string(++lineNumber) + ": ";
    if (line.empty() || line.front() == '#' || line.front() == ';') {
      continue;
    }
    if (line.front() == '[' && line.back() == ']') {
      const std::string_view identifier = trimmed(line.substr(1, line.size() - 2));
      if (identifier.empty()) {
        throw DeviceListError(where + "a section without a device identifier");
      }
      if (list.find(identifier) != nullptr) {
        throw DeviceListError(where + "device " + std::string(identifier) + " is listed twice");
      }
      list.devices.push_back({std::string(identifier), deviceKey(identifier), {}, {}, {}, {}});
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) {
      throw DeviceListError(where + "neither a [device] header, a key = value line nor a comment");
    }
    if (list.devices.empty()) {
      throw DeviceListError(where + "a key before the first [device] header");
    }
    setKey(list.devices.back(), trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)),
           where);
  }
  return list;
}

DeviceList readDeviceList(const std::filesystem::path &file) {
  std::ifstream stream(file, std::ios::binary);
  std::error_code ec;
  const int error = std::filesystem::is_directory(file, ec) ? EISDIR : errno;
  if (!stream || error == EISDIR) {
    throw DeviceListError("cannot read the device list " + file.string() + ": " +
                          std::strerror(error));
  }
  const std::string contents((std::istreambuf_iterator<char>(stream)),
                             std::istreambuf_iterator<char>());
  if (stream.bad()) {
    throw DeviceListError("cannot read the device list " + file.string());
  }
  return parseDeviceList(contents, file.string());
}
