#include "fleet/render/text.hpp"

#include "base/escaping.hpp"

#include <algorithm>
#include <charconv>
#include <iterator>

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

std::string plural(std::size_t count, const char *word) {
  return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string stateWord(DeviceState state) {
  const char *const words[] = {"STALE", "CRITICAL", "UNKNOWN", "WARNING", "ok"};
  return words[static_cast<int>(state)];
}

namespace {

// The words of monitoring plugins, in the order of both FieldState and FleetStatus.
constexpr const char *pluginWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
static_assert(static_cast<int>(FieldState::unknown) == static_cast<int>(FleetStatus::unknown));

} // namespace

std::string stateWord(FieldState state) {
  return pluginWords[static_cast<int>(state)];
}

std::string stateWord(FleetStatus status) {
  return pluginWords[static_cast<int>(status)];
}

std::string checkText(const DeviceField &field) {
  const std::string name = field.name() + " ";
  if (!field.last) {
    return name + "UNKNOWN (no number)";
  }
  const AlertRange *range = field.state == FieldState::critical  ? field.crit()
                            : field.state == FieldState::warning ? field.warn()
                                                                 : nullptr;
  return name + formatValue(*field.last) + " " + stateWord(field.state) +
         (range != nullptr ? " (" + range->text + ")" : "");
}

std::string formatValue(double value) {
  char text[32];
  const auto result = std::to_chars(std::begin(text), std::end(text), value);
  return {std::begin(text), result.ptr};
}

DeviceWords wordsFor(const FleetDevice &device, const Window &window) {
  std::string notes;
  const auto addNote = [&](const std::string &note) {
    notes += (notes.empty() ? "[" : " [") + note + "]";
  };
  const bool cut = device.last.length > device.last.text.size();
  if (cut) {
    addNote("cut: " + std::to_string(device.last.length) + " bytes");
  }
  for (const DeviceField &field : device.fields) {
    if (field.state != FieldState::ok) {
      addNote(checkText(field));
    }
  }
  std::for_each(device.notes.begin(), device.notes.end(), addNote);
  const std::string shown =
      device.identifier + (device.name.empty() ? "" : " (" + device.name + ")");
  if (device.neverReported) {
    return {shown, "0", "-", "-", "STALE", "never reported", notes};
  }
  const bool seen = device.lastSeen != 0;
  return {shown,
          std::to_string(device.records),
          seen ? formatLocalTime(device.lastSeen) : "-",
          seen ? formatAge(window.now - device.lastSeen) : "-",
          stateWord(device.state),
          printable(device.last.text) + (cut ? "..." : ""),
          notes};
}

std::string fleetSummaryLine(const Fleet &fleet) {
  return plural(fleet.devices.size(), "device") + ", " + std::to_string(fleet.staleDevices) +
         " stale (no record for " + fleet.window.stale.text +
         (fleet.ownThresholds ? ", or for the time the device list gives" : "") + ")";
}
