#pragma once

// The fleet view's command line.

#include "fleet/model/fleet.hpp"

#include <filesystem>
#include <optional>
#include <vector>

struct FleetOptions {
  // Read as one fleet: a site's collectors each keep their own. "log" when none is given.
  std::vector<std::filesystem::path> logDirs;
  Duration since = defaultSince; // the window's length
  Duration stale = defaultStale;
  std::filesystem::path htmlFile;       // empty: no page
  std::filesystem::path devicesFile;    // empty: no list
  std::filesystem::path prometheusFile; // empty: no metrics
  bool check = false;                   // a monitoring plugin's status line before the table
};

// The options to run with, or the exit status when the command line is all there is to
// do: 0 after --help or --version, 3 after a usage error (2 means "every device is stale")
// or when the help or version cannot be written.
struct FleetCommandLine {
  FleetOptions options;
  std::optional<int> exitStatus;
};

FleetCommandLine readFleetCommandLine(int argc, char *argv[]);
