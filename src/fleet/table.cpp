#include "fleet/table.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>
#include <set>

std::string formatAge(std::int64_t seconds) {
  seconds = std::max<std::int64_t>(seconds, 0);
  if (seconds < 60) {
    return std::to_string(seconds) + "s";
  }
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + "m";
  }
  if (seconds < 86400) {
    return std::to_string(seconds / 3600) + "h";
  }
  return std::to_string(seconds / 86400) + "d";
}

std::string formatLocalTime(std::time_t time, const char *format) {
  std::tm fields{};
  localtime_r(&time, &fields);
  char text[64];
  std::strftime(text, sizeof text, format, &fields);
  return text;
}

namespace {

// A clock that was set back makes records from the future: they are fresh, not negative.
std::int64_t ageOf(const DeviceSummary &device, const Window &window) {
  return std::max<std::int64_t>(window.now - device.lastSeen, 0);
}

std::string plural(std::size_t count, const char *word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::size_t staleCount(const std::vector<DeviceSummary> &devices, const Window &window) {
  return static_cast<std::size_t>(std::count_if(
      devices.begin(), devices.end(), [&](const auto &device) { return isStale(device, window); }));
}

// The columns a text takes on a terminal: one per character of its UTF-8, not per byte, so
// that a name with an umlaut does not shift the columns after it.
std::size_t displayWidth(const std::string &text) {
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U;
  }));
}

// A name from the device list as the table shows it: the operator wrote it, but a control
// character would still upset the terminal.
std::string withoutControls(std::string text) {
  for (char &c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      c = ' ';
    }
  }
  return text;
}

std::string padded(const std::string &text, std::size_t width, bool right = false) {
  const std::size_t shown = displayWidth(text);
  const std::string fill(width > shown ? width - shown : 0, ' ');
  return right ? fill + text : text + fill;
}

// Between two columns.
const std::string columnGap = "  ";

// The columns before the last record are as wide as their widest cell; the last record takes
// the room that is left on the line.
struct ColumnWidths {
  std::size_t device = 0, records = 0, lastSeen = 0, age = 0, state = 0;

  void widenFor(const TableRow &row) {
    device = std::max(device, displayWidth(row.device));
    records = std::max(records, row.records.size());
    lastSeen = std::max(lastSeen, row.lastSeen.size());
    age = std::max(age, row.age.size());
    state = std::max(state, row.state.size());
  }
  // Up to where the last record starts: the five columns, each with its gap.
  std::size_t beforeLast() const {
    return device + records + lastSeen + age + state + 5 * columnGap.size();
  }
};

// The last record is cut to fit the line, but is left this much room however narrow it is.
constexpr std::size_t leastRoomForLast = 20;

std::string cutToFit(const std::string &text, std::size_t room) {
  return text.size() > room ? text.substr(0, room - std::min<std::size_t>(room, 3)) + "..." : text;
}

// The last record and the notes after it, the record cut so that the notes fit if they can.
std::string lastColumn(const TableRow &row, std::size_t room) {
  if (row.notes.empty()) {
    return cutToFit(row.last, room);
  }
  if (row.last.empty()) {
    return row.notes;
  }
  // Long notes may make the line longer than the room, rather than hide the record.
  const std::size_t roomForRecord =
      std::max(leastRoomForLast, room - std::min(room, row.notes.size() + 1));
  return cutToFit(row.last, roomForRecord) + " " + row.notes;
}

std::string tableLine(const TableRow &row, const ColumnWidths &widths, std::size_t roomForLast) {
  std::string line = padded(row.device, widths.device) + columnGap +
                     padded(row.records, widths.records, true) + columnGap +
                     padded(row.lastSeen, widths.lastSeen) + columnGap +
                     padded(row.age, widths.age, true) + columnGap +
                     padded(row.state, widths.state) + columnGap + lastColumn(row, roomForLast);
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

} // namespace

std::string shownName(const DeviceSummary &device) {
  return device.name.empty() ? emptyIdentifierName : printable(device.name);
}

TableRow tableRow(const DeviceSummary &device, const Window &window) {
  std::string notes;
  const auto addNote = [&](const std::string &note) {
    notes += (notes.empty() ? "[" : " [") + note + "]";
  };
  if (device.lastFieldsLength > device.lastFields.size()) {
    addNote("cut: " + std::to_string(device.lastFieldsLength) + " bytes");
  }
  std::for_each(device.notes.begin(), device.notes.end(), addNote);
  if (device.lastSeenFromFileTime) {
    addNote("time of the file");
  }
  std::string shown = shownName(device);
  if (device.device != nullptr && !device.device->name.empty()) {
    shown += " (" + withoutControls(device.device->name) + ")";
  }
  if (device.neverReported) {
    return {shown, "0", "-", "-", "STALE", "never reported", notes};
  }
  return {shown,
          std::to_string(device.records),
          device.lastSeen == 0 ? "-" : formatLocalTime(device.lastSeen),
          device.lastSeen == 0 ? "-" : formatAge(ageOf(device, window)),
          isStale(device, window) ? "STALE" : "ok",
          printable(device.lastFields) +
              (device.lastFieldsLength > device.lastFields.size() ? "..." : ""),
          notes};
}

std::int64_t staleSeconds(const DeviceSummary &device, const Window &window) {
  return device.device != nullptr && device.device->staleSeconds ? *device.device->staleSeconds
                                                                 : window.stale.seconds;
}

bool isStale(const DeviceSummary &device, const Window &window) {
  return device.neverReported || device.lastSeen == 0 ||
         ageOf(device, window) >= staleSeconds(device, window);
}

ListedFleet applyDeviceList(std::vector<DeviceSummary> files, const DeviceList &list) {
  ListedFleet fleet;
  std::set<const Device *> reported;
  for (DeviceSummary &file : files) {
    file.device = list.find(file.name);
    if (file.device == nullptr) {
      fleet.notListed.push_back(std::move(file));
    } else {
      reported.insert(file.device);
      fleet.devices.push_back(std::move(file));
    }
  }
  for (const Device &device : list.devices) {
    if (reported.count(&device) == 0) {
      DeviceSummary never;
      never.name = device.identifier;
      never.device = &device;
      never.neverReported = true;
      fleet.devices.push_back(std::move(never));
    }
  }
  return fleet;
}

std::string notListedLine(const std::vector<DeviceSummary> &notListed) {
  if (notListed.empty()) {
    return "";
  }
  std::vector<std::string> names;
  names.reserve(notListed.size());
  for (const auto &file : notListed) {
    names.push_back(shownName(file));
  }
  std::sort(names.begin(), names.end());
  std::string line = plural(notListed.size(), "file") + " not in the device list:";
  for (std::size_t i = 0; i < names.size(); ++i) {
    line += (i == 0 ? " " : ", ") + names[i];
  }
  return line;
}

void sortForTheOperator(std::vector<DeviceSummary> &devices, const Window &window) {
  std::sort(devices.begin(), devices.end(), [&](const auto &a, const auto &b) {
    const bool aStale = isStale(a, window);
    const bool bStale = isStale(b, window);
    if (aStale != bStale) {
      return aStale;
    }
    if (aStale && a.lastSeen != b.lastSeen) {
      return a.lastSeen < b.lastSeen;
    }
    return a.name < b.name;
  });
}

FleetStatus fleetStatus(const std::vector<DeviceSummary> &devices, const Window &window) {
  const std::size_t stale = staleCount(devices, window);
  if (devices.empty() || stale == devices.size()) {
    return FleetStatus::everyDeviceStaleOrNone;
  }
  return stale > 0 ? FleetStatus::someStale : FleetStatus::everyDeviceFresh;
}

std::string fleetSummaryLine(const std::vector<DeviceSummary> &devices, const Window &window) {
  const bool ownThresholds = std::any_of(devices.begin(), devices.end(), [](const auto &device) {
    return device.device != nullptr && device.device->staleSeconds;
  });
  return plural(devices.size(), "device") + ", " + std::to_string(staleCount(devices, window)) +
         " stale (no record for " + window.stale.text +
         (ownThresholds ? ", or for the time the device list gives" : "") + ")";
}

std::string tableText(const std::vector<DeviceSummary> &devices, const Window &window,
                      std::size_t width, const std::vector<DeviceSummary> &notListed) {
  std::vector<TableRow> rows{tableHeadings};
  ColumnWidths widths;
  widths.widenFor(tableHeadings);
  for (const auto &device : devices) {
    rows.push_back(tableRow(device, window));
    widths.widenFor(rows.back());
  }
  const std::size_t before = widths.beforeLast();
  const std::size_t roomForLast =
      width > before + leastRoomForLast ? width - before : leastRoomForLast;
  std::string text;
  for (const auto &row : rows) {
    text += tableLine(row, widths, roomForLast) + "\n";
  }
  text += fleetSummaryLine(devices, window) + "\n";
  if (!notListed.empty()) {
    text += notListedLine(notListed) + "\n";
  }
  return text;
}
