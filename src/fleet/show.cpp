#include "fleet/options.hpp"
#include "fleet/page.hpp"
#include "fleet/reading.hpp"
#include "fleet/table.hpp"

#include "devicelog/record_format.hpp"

#include <cstdlib>
#include <fstream>
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

// Says on standard error when the page could not be written.
bool writePageFile(const std::string &fileName, const std::vector<DeviceSummary> &devices,
                   const PageDrawings &drawings, const Window &window) {
  std::ofstream page(fileName, std::ios::binary | std::ios::trunc);
  writePage(page, devices, drawings, window);
  page.close();
  if (!page) {
    std::cerr << "report-collector-fleet: cannot write " << printable(fileName) << std::endl;
    return false;
  }
  return true;
}

} // namespace

FleetStatus showFleet(const FleetOptions &options, std::time_t now) {
  const Window window{now, options.since, options.stale};
  const bool withPage = !options.htmlFile.empty();
  PageDrawings drawings(window);
  try {
    // Each chart is drawn as soon as its file is read, and its slices dropped, so that only
    // one device's slices are in memory at a time.
    const auto drawAndDropSlices = [&](DeviceSummary &device) {
      drawings.draw(device);
      device.chart.clear();
    };
    auto devices = withPage ? readFleet(options.logDir, window, true, drawAndDropSlices)
                            : readFleet(options.logDir, window, false);
    sortForTheOperator(devices, window);
    printTable(std::cout, devices, window, outputWidth());
    if (withPage && !writePageFile(options.htmlFile, devices, drawings, window)) {
      return FleetStatus::unknown;
    }
    return fleetStatus(devices, window);
  } catch (const std::filesystem::filesystem_error &e) {
    std::cerr << "report-collector-fleet: cannot read " << printable(e.path1().string()) << ": "
              << e.code().message() << std::endl;
    return FleetStatus::unknown;
  }
}
