#pragma once

#include "fleet/command/options.hpp"

#include "fleet/model/fleet.hpp"

#include <ctime>

// Reads the device list if one is given and the log directories for the window that ends at
// `now`, prints the table, writes the page and the metrics if asked, and returns the exit
// status; a device list that cannot be read, a log directory that cannot be listed or
// searched, or a table, page or metrics file that cannot be written, is reported on standard
// error, with FleetStatus::unknown.
FleetStatus showFleet(const FleetOptions &options, std::time_t now);
