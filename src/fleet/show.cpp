#include "fleet/options.hpp"
#include "fleet/output.hpp"

#include "cli/standard_streams.hpp"
#include "fleet/page.hpp"
#include "fleet/prometheus.hpp"
#include "fleet/reading.hpp"
#include "fleet/table.hpp"

#include "devicelog/record_format.hpp"

#include <cstdlib>
#include <cstring>
#include <iostream>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The terminal's width, so that rows do not wrap; a wide default for pipes and files.
std::size_t outputWidth() {
  winsize size{};
  if (::isatty(STDOUT_FILENO) && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
      size.ws_col > 0) {
    return size.ws_col;
  }
  const char *columns = std::getenv("COLUMNS");
  const long fromEnvironment = columns ? std::atol(columns) : 0;
  return fromEnvironment > 0 ? static_cast<std::size_t>(fromEnvironment) : 120;
}

void reportFailure(const std::string &what, const std::string &reason) {
  std::cerr << "report-collector-fleet: " << what << ": " << reason << std::endl;
}

bool writeTable(const ListedFleet &fleet, const Window &window) {
  if (const int error =
          writeAll(STDOUT_FILENO, tableText(fleet.devices, window, outputWidth(), fleet.notListed));
      error != 0) {
    reportFailure("cannot write the table", std::strerror(error));
    return false;
  }
  return true;
}

// Writes the page in the table's order. Each device's file is read again, with its chart,
// and the section written before the next is read, so that the page streams to its file and
// memory holds one chart at a time. A device with no record in the window has no chart to
// read for, and an unreadable file is not tried twice.
bool writePageFile(const FleetOptions &options, const ListedFleet &fleet, const Window &window) {
  ReplacementFile page(options.htmlFile);
  std::vector<std::string> filesNotInList;
  for (const DeviceSummary &file : fleet.notListed) {
    filesNotInList.push_back(file.name);
  }
  page.write(pageStart(fleet.devices, window, filesNotInList));
  for (const DeviceSummary &device : fleet.devices) {
    if (device.records == 0) {
      page.write(deviceSection(device, window));
      continue;
    }
    DeviceSummary charted = readDeviceFile(options.logDir / device.fileName, window, true);
    charted.device = device.device; // the list's entry, which the file cannot tell
    page.write(deviceSection(charted, window));
  }
  page.write(pageEnd());
  if (!page.commit()) {
    reportFailure("cannot write " + printable(options.htmlFile), page.failure());
    return false;
  }
  return true;
}

// Replaces the metrics file as a whole, so that the exporter never reads half of it.
bool writePrometheusFile(const std::string &file, const ListedFleet &fleet, const Window &window) {
  ReplacementFile metrics(file);
  metrics.write(prometheusText(fleet.devices, fleet.notListed, window));
  if (!metrics.commit()) {
    reportFailure("cannot write " + printable(file), metrics.failure());
    return false;
  }
  return true;
}

} // namespace

FleetStatus showFleet(const FleetOptions &options, std::time_t now) {
  const Window window{now, options.since, options.stale};
  DeviceList list;
  if (!options.devicesFile.empty()) {
    try {
      list = readDeviceList(options.devicesFile);
    } catch (const DeviceListError &e) {
      reportFailure("cannot use the device list", e.what());
      return FleetStatus::unknown;
    }
  }
  ListedFleet fleet;
  try {
    fleet.devices = readFleet(options.logDir, window, false);
  } catch (const UnreadableLogDirectory &e) {
    reportFailure(e.action() + " " + printable(options.logDir.string()), e.code().message());
    return FleetStatus::unknown;
  }
  if (!options.devicesFile.empty()) {
    fleet = applyDeviceList(std::move(fleet.devices), list);
  }
  sortForTheOperator(fleet.devices, window);
  bool written = writeTable(fleet, window);
  if (!options.htmlFile.empty()) {
    written = writePageFile(options, fleet, window) && written;
  }
  if (!options.prometheusFile.empty()) {
    written = writePrometheusFile(options.prometheusFile, fleet, window) && written;
  }
  return written ? fleetStatus(fleet.devices, window) : FleetStatus::unknown;
}
