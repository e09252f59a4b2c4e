#include "fleet/fleet.hpp"
#include "fleet/options.hpp"

#include "devicelog/record_format.hpp"

#include <cstdlib>
#include <fstream>
#include <iostream>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int cannotRead = 3;

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

} // namespace

int showFleet(FleetOptions &options) {
  try {
    options.window.now = std::time(nullptr);
    const bool withPage = !options.htmlFile.empty();
    // Each chart is drawn as soon as its file is read, so that only one device's slices are
    // in memory at a time.
    auto devices = readFleet(options.logDir, options.window, withPage, [&](DeviceSummary &device) {
      if (withPage) {
        device.drawing = drawChart(device, options.window);
        device.chart.clear();
      }
    });
    sortForTheOperator(devices, options.window);
    printTable(std::cout, devices, options.window, outputWidth());
    if (withPage) {
      std::ofstream page(options.htmlFile, std::ios::binary | std::ios::trunc);
      writePage(page, devices, options.window);
      page.close();
      if (!page) {
        std::cerr << "report-collector-fleet: cannot write " << printable(options.htmlFile)
                  << std::endl;
        return cannotRead;
      }
    }
    return fleetStatus(devices, options.window);
  } catch (const std::filesystem::filesystem_error &e) {
    std::cerr << "report-collector-fleet: cannot read " << printable(e.path1().string()) << ": "
              << e.code().message() << std::endl;
    return cannotRead;
  }
}
