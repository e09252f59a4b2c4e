#pragma once

#include "fleet/fleet.hpp"

#include <filesystem>
#include <optional>
#include <string>

struct FleetOptions {
  std::filesystem::path logDir = "log";
  Window window;        // its `now` is set when the files are read
  std::string htmlFile; // empty: no page
};

// The options to run with, or the exit status when the command line is all there is to
// do: 0 after --help or --version, 3 after a usage error (2 means "every device is stale").
struct FleetCommandLine {
  FleetOptions options;
  std::optional<int> exitStatus;
};

FleetCommandLine readFleetCommandLine(int argc, char *argv[]);

// Seconds in a duration such as "90s", "15m", "2h" or "7d"; nothing when it is not one.
std::optional<std::int64_t> parseDuration(const std::string &text);

// Reads the log directory, prints the table, writes the page if asked, and returns the exit
// status; a log directory that cannot be read is reported on standard error, with status 3.
int showFleet(FleetOptions &options);
