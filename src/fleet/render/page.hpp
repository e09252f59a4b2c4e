#pragma once

// The fleet view as one self-contained HTML page: the table, then for each device a panel per
// numeric field of its records, each against a value scale of its own.

#include "fleet/model/chart_data.hpp"
#include "fleet/model/fleet.hpp"

#include <functional>
#include <ostream>

// The chart of a device, read when its section is written.
using ChartReader = std::function<DeviceChart(const FleetDevice &)>;

// Writes the page to `out` in the table's order, asking `chartOf` for each device's chart as
// its section comes, so that a page of any number of devices holds one chart at a time.
void writePage(std::ostream &out, const Fleet &fleet, const ChartReader &chartOf);
