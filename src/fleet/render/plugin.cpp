#include "fleet/render/plugin.hpp"
#include "fleet/render/text.hpp"

#include <array>
#include <charconv>
#include <iterator>
#include <utility>

namespace {

std::string rangeText(const AlertRange *range) {
  return range != nullptr ? range->text : "";
}

// One value of the device's last record: 'label'=value[UOM];warn;crit;;
std::string perfdataOf(const FleetDevice &device, const DeviceField &field) {
  const std::string deviceLabel = device.name.empty() ? device.identifier : device.name;
  return perfdataLabel(deviceLabel + " " + field.name()) + "=" + plainDecimal(*field.last) +
         perfdataUnit(field.unit()) + ";" + rangeText(field.warn()) + ";" +
         rangeText(field.crit()) + ";;";
}

std::string summaryOf(const Fleet &fleet) {
  std::size_t unknown = 0;
  for (const FleetDevice &device : fleet.devices) {
    unknown += device.state == DeviceState::unknown ? 1 : 0;
  }
  return std::to_string(fleet.outOfRangeDevices) + " of " + std::to_string(fleet.devices.size()) +
         " out of range, " + std::to_string(fleet.staleDevices) + " stale" +
         (unknown > 0 ? ", " + std::to_string(unknown) + " unknown" : "");
}

} // namespace

std::string perfdataUnit(std::string_view unit) {
  static const std::array<std::pair<std::string_view, std::string_view>, 3> renamed{
      {{"°C", "C"}, {"°F", "F"}, {"°K", "K"}}};
  static const std::array<std::string_view, 18> kept{"%",   "C",  "F",  "K",  "V",  "mV",
                                                     "A",   "mA", "W",  "kW", "Wh", "kWh",
                                                     "dBm", "s",  "ms", "B",  "Hz", "lm"};
  for (const auto &[from, to] : renamed) {
    if (unit == from) {
      return std::string(to);
    }
  }
  for (const std::string_view known : kept) {
    if (unit == known) {
      return std::string(unit);
    }
  }
  return "";
}

std::string perfdataLabel(std::string_view label) {
  std::string quoted = "'";
  for (const char c : label) {
    quoted += c == '\'' ? std::string("''") : c == '=' ? std::string("_") : std::string(1, c);
  }
  return quoted + "'";
}

std::string pluginOutput(const Fleet &fleet, const std::string &table, const std::string &problem) {
  const FleetStatus status = problem.empty() ? fleet.status : FleetStatus::unknown;
  std::string line = "FLEET " + stateWord(status) + " - " +
                     (problem.empty() ? "" : withoutPipes(problem) + "; ") + summaryOf(fleet);
  std::string separator = " | ";
  for (const FleetDevice &device : fleet.devices) {
    for (const DeviceField &field : device.fields) {
      if (field.last) {
        line += separator + withoutPipes(perfdataOf(device, field));
        separator = " ";
      }
    }
  }
  return line + "\n" + withoutPipes(table);
}

std::string pluginUnknown(const std::string &reason) {
  return "FLEET " + stateWord(FleetStatus::unknown) + " - " + withoutPipes(reason) + "\n";
}

std::string withoutPipes(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    if (c == '|') {
      shown += pipeStandIn;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string plainDecimal(double value) {
  // Fixed notation, as short as reads back to the same double: 1e-300 takes 300 digits, and
  // the largest double 309.
  char text[400];
  const auto result =
      std::to_chars(std::begin(text), std::end(text), value, std::chars_format::fixed);
  return {std::begin(text), result.ptr};
}
