// The device list's INI-like format: sections named by identifiers, three keys, comments.

#include "devices/device_list.hpp"

#include "base/escaping.hpp"
#include "base/file_descriptor.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Splits "temperature (°C), humidity (%)" into names and units.
// "field 5": what the fleet view calls a value field the list names not.
bool isUnnamedFieldsName(std::string_view name) {
  constexpr std::string_view prefix = "field ";
  return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix &&
         name.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos;
}

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
    // Each field is one series of the metrics, labelled by its name: two of one name, or a
    // name that unnamed fields are called by, would make two series one.
    const bool named = std::any_of(fields.begin(), fields.end(), [&](const FieldName &other) {
      return other.name == field.name;
    });
    if (named || isUnnamedFieldsName(field.name)) {
      throw DeviceListError(where + "the field name '" + field.name + "' is " +
                            (named ? "given twice" : "what unnamed fields are called"));
    }
    fields.push_back(std::move(field));
    if (comma == std::string_view::npos) {
      return fields;
    }
    text.remove_prefix(comma + 1);
  }
}

// Where the first control character in `line` starts, or npos. The tab is a blank; a C1
// control is U+0080 to U+009F, which UTF-8 writes as C2 80 to C2 9F.
std::size_t firstControlCharacter(std::string_view line) {
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto byte = static_cast<unsigned char>(line[i]);
    const bool c1 =
        byte == 0xc2 && i + 1 < line.size() && static_cast<unsigned char>(line[i + 1]) <= 0x9f;
    if ((byte < 0x20 && byte != '\t') || byte == 0x7f || c1) {
      return i;
    }
  }
  return std::string_view::npos;
}

// Names and units end up in a terminal's table, a web page and Prometheus labels, where a
// byte that is no character, or a control character, could garble or steer what is shown.
void refuseUnshowable(std::string_view line, const std::string &where) {
  const std::size_t invalid = firstInvalidUtf8(line);
  if (invalid != std::string_view::npos) {
    throw DeviceListError(where + "not UTF-8: byte " + printable(line.substr(invalid, 1)));
  }
  const std::size_t control = firstControlCharacter(line);
  if (control != std::string_view::npos) {
    throw DeviceListError(
        where + "a control character, " +
        printable(line.substr(control, utf8SequenceLength(line.substr(control)))));
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

// The device a "[IDENTIFIER]" line starts, as yet without keys. An identifier of nothing but
// colons and hyphens has an empty key, which no board's identifier could match; one with a
// comma cannot be sent, the comma ending it, and one with a slash, a backslash, or that is a
// dot or two, would name a file outside the log directory, which the collector refuses.
Device deviceOfHeader(std::string_view line, const std::string &where) {
  const std::string_view identifier = trimmed(line.substr(1, line.size() - 2));
  std::string key = deviceKey(identifier);
  if (key.empty()) {
    throw DeviceListError(where + "a section without a device identifier");
  }
  if (identifier.find_first_of(",/\\") != std::string_view::npos || key == "." || key == "..") {
    throw DeviceListError(where + "no board can send the identifier " + std::string(identifier));
  }
  return {std::string(identifier), std::move(key), {}, {}, {}, {}};
}

[[noreturn]] void cannotRead(const std::filesystem::path &file, const std::string &why) {
  throw DeviceListError("cannot read the device list " + file.string() + ": " + why);
}

[[noreturn]] void tooBig(const std::filesystem::path &file, const std::string &size) {
  cannotRead(file, "it holds " + size + " bytes; a device list may hold at most " +
                       std::to_string(maxDeviceListBytes >> 20) + " MiB");
}

// `file` opened for reading, when it is a regular file. Anything else is refused before a
// byte is read: a FIFO or a device could keep the collector waiting or feed it without end.
// The open itself does not wait for a FIFO's writer, nor make a terminal the controlling one.
FileDescriptor openRegularFile(const std::filesystem::path &file) {
  FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!descriptor.isOpen()) {
    // For reading, Linux gives ENXIO for a socket and for a device without its driver.
    cannotRead(file, errno == ENXIO ? "not a regular file" : std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(descriptor.get(), &status) != 0) {
    cannotRead(file, std::strerror(errno));
  }
  if (!S_ISREG(status.st_mode)) {
    cannotRead(file, "not a regular file");
  }
  if (static_cast<std::uintmax_t>(status.st_size) > maxDeviceListBytes) {
    tooBig(file, std::to_string(status.st_size));
  }
  return descriptor;
}

// All of the open `descriptor`, refused when it holds more than maxDeviceListBytes: a file
// that grows while it is read is not read beyond the bound.
std::string readWithinBound(int descriptor, const std::filesystem::path &file) {
  std::string contents;
  std::array<char, 65536> chunk{};
  while (contents.size() <= maxDeviceListBytes) {
    const std::size_t wanted = std::min(chunk.size(), maxDeviceListBytes + 1 - contents.size());
    const ssize_t got = ::read(descriptor, chunk.data(), wanted);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      cannotRead(file, std::strerror(errno));
    }
    if (got == 0) {
      return contents;
    }
    contents.append(chunk.data(), static_cast<std::size_t>(got));
  }
  tooBig(file, "more than " + std::to_string(maxDeviceListBytes));
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
  const auto found = indexOfKey_.find(deviceKey(identifier));
  return found == indexOfKey_.end() ? nullptr : &devices[found->second];
}

DeviceList parseDeviceList(std::string_view text, const std::string &fileName) {
  DeviceList list;
  if (text.substr(0, byteOrderMark.size()) == byteOrderMark) {
    text.remove_prefix(byteOrderMark.size());
  }
  int lineNumber = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::string where = fileName + ":" + std::to_string(++lineNumber) + ": ";
    refuseUnshowable(line, where);
    if (line.empty() || line.front() == '#' || line.front() == ';') {
      continue;
    }
    if (line.front() == '[' && line.back() == ']') {
      Device device = deviceOfHeader(line, where);
      if (!list.indexOfKey_.emplace(device.key, list.devices.size()).second) {
        throw DeviceListError(where + "device " + device.identifier + " is listed twice");
      }
      list.devices.push_back(std::move(device));
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
  const FileDescriptor descriptor = openRegularFile(file);
  return parseDeviceList(readWithinBound(descriptor.get(), file), file.string());
}
