#include "fleet/command/show.hpp"

#include "fleet/command/output_file.hpp"
#include "fleet/render/page.hpp"
#include "fleet/render/plugin.hpp"
#include "fleet/render/prometheus.hpp"
#include "fleet/render/table.hpp"

#include "base/escaping.hpp"
#include "base/write_all.hpp"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>

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

bool writeTable(const Fleet &fleet, bool check) {
  const std::string text =
      check ? pluginOutput(fleet, outputWidth()) : tableText(fleet, outputWidth());
  if (const int error = writeAll(STDOUT_FILENO, text); error != 0) {
    reportFailure("cannot write the table", std::strerror(error));
    return false;
  }
  return true;
}

// Writes `render`'s output to `file` as a whole.
template <typename Render> bool writeFile(const std::filesystem::path &file, const Render &render) {
  ReplacementFile output(file);
  if (output.failure().empty()) {
    render(output.stream());
  }
  if (!output.commit()) {
    reportFailure("cannot write " + printable(file.string()), output.failure());
    return false;
  }
  return true;
}

std::optional<DeviceList> deviceListOf(const FleetOptions &options) {
  if (options.devicesFile.empty()) {
    return std::nullopt;
  }
  return readDeviceList(options.devicesFile);
}

} // namespace

FleetStatus showFleet(const FleetOptions &options, std::time_t now) {
  const Window window{now, options.since, options.stale};
  std::optional<DeviceList> list;
  Fleet fleet;
  try {
    list = deviceListOf(options);
    fleet = readFleet(options.logDir, window, list ? &*list : nullptr);
  } catch (const DeviceListError &e) {
    reportFailure("cannot use the device list", e.what());
    return FleetStatus::unknown;
  } catch (const UnreadableLogDirectory &e) {
    reportFailure(e.action() + " " + printable(options.logDir.string()), e.code().message());
    return FleetStatus::unknown;
  }
  for (const std::string &problem : fleet.problems) {
    std::cerr << "report-collector-fleet: " << problem << std::endl;
  }
  bool written = writeTable(fleet, options.check);
  if (!options.htmlFile.empty()) {
    written = writeFile(options.htmlFile,
                        [&](std::ostream &out) {
                          writePage(out, fleet, [&](const FleetDevice &device) {
                            return readChart(options.logDir, device, window);
                          });
                        }) &&
              written;
  }
  if (!options.prometheusFile.empty()) {
    written = writeFile(options.prometheusFile,
                        [&](std::ostream &out) { writePrometheus(out, fleet); }) &&
              written;
  }
  return written ? fleet.status : FleetStatus::unknown;
}
