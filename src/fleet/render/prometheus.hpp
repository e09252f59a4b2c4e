#pragma once

// The fleet's state in the Prometheus text format, for node_exporter's textfile collector:
// per device its last record's time, its records in the window, whether it is stale and the
// last value of each numeric field; for the fleet, how many devices there are and how many
// are stale. No sample carries a time stamp of its own, as the textfile collector demands.

#include "fleet/model/fleet.hpp"

#include <ostream>
#include <string>
#include <string_view>

// Writes the metrics of `fleet` to `out`.
void writePrometheus(std::ostream &out, const Fleet &fleet);

// A label value in quotes' reach: backslash, double quote and line feed escaped, and bytes
// that are not UTF-8 written as the text \xNN, so that the exporter does not reject the file.
std::string prometheusLabelValue(std::string_view text);
