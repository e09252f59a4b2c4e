#pragma once

#include "fleet/reading.hpp"
#include "fleet/table.hpp"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

struct FleetOptions {
  std::filesystem::path logDir = "log";
  Duration since = defaultSince; // the window's length
  Duration stale = defaultStale;
  std::string htmlFile;              // empty: no page
  std::filesystem::path devicesFile; // empty: no list
  std::string prometheusFile;        // empty: no metrics
};

// The options to run with, or the exit status when the command line is all there is to
// do: 0 after --help or --version, 3 after a usage error (2 means "every device is stale")
// or when the help or version cannot be written.
struct FleetCommandLine {
  FleetOptions options;
  std::optional<int> exitStatus;
};

FleetCommandLine readFleetCommandLine(int argc, char *argv[]);

// Reads the device list if one is given and the log directory for the window that ends at
// `now`, prints the table, writes the page and the metrics if asked, and returns the exit
// status; a device list that cannot be read, a log directory that cannot be listed or
// searched, or a table, page or metrics file that cannot be written, is reported on standard
// error, with FleetStatus::unknown.
FleetStatus showFleet(const FleetOptions &options, std::time_t now);
