#include "fleet/command/show.hpp"

#include "fleet/command/output_file.hpp"
#include "fleet/render/page.hpp"
#include "fleet/render/plugin.hpp"
#include "fleet/render/prometheus.hpp"
#include "fleet/render/table.hpp"

#include "fleet/model/chart_data.hpp"

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

// The table, or with --check the status line before it, which names `problem` when there
// is one. A table that cannot be written is reported, and returned as the problem.
std::string writeTable(const Fleet &fleet, bool check, const std::string &problem) {
  const std::string text = check ? pluginOutput(fleet, tableText(fleet, outputWidth()), problem)
                                 : tableText(fleet, outputWidth());
  if (const int error = writeAll(STDOUT_FILENO, text); error != 0) {
    reportFailure("cannot write the table", std::strerror(error));
    return "cannot write the table";
  }
  return "";
}

// Writes `render`'s output to `file` as a whole; what went wrong, or "".
template <typename Render>
std::string writeFile(const std::filesystem::path &file, const Render &render) {
  ReplacementFile output(file);
  if (output.failure().empty()) {
    render(output.stream());
  }
  if (!output.commit()) {
    const std::string what = "cannot write " + printable(file.string());
    reportFailure(what, output.failure());
    return what + ": " + output.failure();
  }
  return "";
}

// A view that cannot work: said on standard error, and with --check as the status line that
// engines show, since they read nothing else.
FleetStatus cannotWork(const FleetOptions &options, const std::string &what,
                       const std::string &reason) {
  reportFailure(what, reason);
  if (options.check) {
    (void)writeAll(STDOUT_FILENO, pluginUnknown(what + ": " + reason));
  }
  return FleetStatus::unknown;
}

void addProblem(std::string &problems, const std::string &problem) {
  if (!problem.empty()) {
    problems += (problems.empty() ? "" : "; ") + problem;
  }
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
    fleet = readFleet(options.logDirs, window, list ? &*list : nullptr);
  } catch (const DeviceListError &e) {
    return cannotWork(options, "cannot use the device list", e.what());
  } catch (const UnreadableLogDirectory &e) {
    return cannotWork(options, e.action() + " " + printable(e.directory().string()),
                      e.code().message());
  }
  for (const std::string &problem : fleet.problems) {
    std::cerr << "report-collector-fleet: " << problem << std::endl;
  }
  // The files first: with --check, the status line says whether they could be written.
  std::string problems;
  if (!options.htmlFile.empty()) {
    addProblem(problems, writeFile(options.htmlFile, [&](std::ostream &out) {
                 writePage(out, fleet, [&](const FleetDevice &device) {
                   return readChart(options.logDirs, device, window);
                 });
               }));
  }
  if (!options.prometheusFile.empty()) {
    addProblem(problems, writeFile(options.prometheusFile,
                                   [&](std::ostream &out) { writePrometheus(out, fleet); }));
  }
  addProblem(problems, writeTable(fleet, options.check, problems));
  return problems.empty() ? fleet.status : FleetStatus::unknown;
}
