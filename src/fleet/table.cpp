#include "fleet/fleet.hpp"

#include "devicelog/record_format.hpp"

#include <algorithm>
#include <ostream>

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

std::string padded(const std::string &text, std::size_t width, bool right = false) {
  const std::string fill(width > text.size() ? width - text.size() : 0, ' ');
  return right ? fill + text : text + fill;
}

} // namespace

TableRow tableRow(const DeviceSummary &device, const Window &window) {
  std::string last = printable(device.lastFields);
  const auto addNote = [&](const std::string &note) {
    last += (last.empty() ? "[" : " [") + note + "]";
  };
  std::for_each(device.notes.begin(), device.notes.end(), addNote);
  if (device.lastSeenFromFileTime) {
    addNote("time of the file");
  }
  return {printable(device.name),
          std::to_string(device.records),
          device.lastSeen == 0 ? "-" : formatLocalTime(device.lastSeen),
          device.lastSeen == 0 ? "-" : formatAge(ageOf(device, window)),
          isStale(device, window) ? "STALE" : "ok",
          last};
}

bool isStale(const DeviceSummary &device, const Window &window) {
  return device.lastSeen == 0 || ageOf(device, window) >= window.stale;
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

int fleetStatus(const std::vector<DeviceSummary> &devices, const Window &window) {
  const std::size_t stale = staleCount(devices, window);
  if (devices.empty() || stale == devices.size()) {
    return 2;
  }
  return stale > 0 ? 1 : 0;
}

std::string fleetSummaryLine(const std::vector<DeviceSummary> &devices, const Window &window) {
  return plural(devices.size(), "device") + ", " + std::to_string(staleCount(devices, window)) +
         " stale (no record for " + window.staleText + ")";
}

void printTable(std::ostream &out, const std::vector<DeviceSummary> &devices, const Window &window,
                std::size_t width) {
  std::vector<TableRow> rows{tableHeadings};
  for (const auto &device : devices) {
    rows.push_back(tableRow(device, window));
  }
  std::size_t w[5] = {};
  for (const auto &row : rows) {
    const std::string *cells[5] = {&row.device, &row.records, &row.lastSeen, &row.age, &row.state};
    for (int i = 0; i < 5; ++i) {
      w[i] = std::max(w[i], cells[i]->size());
    }
  }
  const std::size_t before = w[0] + w[1] + w[2] + w[3] + w[4] + 10;
  const std::size_t room = width > before + 20 ? width - before : 20;
  for (const auto &row : rows) {
    std::string last = row.last;
    if (last.size() > room) {
      last = last.substr(0, room - 3) + "...";
    }
    std::string line = padded(row.device, w[0]) + "  " + padded(row.records, w[1], true) + "  " +
                       padded(row.lastSeen, w[2]) + "  " + padded(row.age, w[3], true) + "  " +
                       padded(row.state, w[4]) + "  " + last;
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << "\n";
  }
  out << fleetSummaryLine(devices, window) << std::endl;
}
