#pragma once

// The fleet's state in the Prometheus text format, for node_exporter's textfile collector:
// per device its last record's time, its records in the window, whether it is stale and the
// last value of each numeric field; for the fleet, how many devices there are and how many
// are stale. No sample carries a time stamp of its own, as the textfile collector demands.

#include "fleet/reading.hpp"

#include <string>
#include <string_view>
#include <vector>

// `devices` as the table shows them; `notListed` the files that a device list left out.
std::string prometheusText(const std::vector<DeviceSummary> &devices,
                           const std::vector<DeviceSummary> &notListed, const Window &window);

// A label value in quotes' reach: backslash, double quote and line feed escaped, and bytes
// that are not UTF-8 written as \xNN so that the exporter does not reject the whole file.
std::string prometheusLabelValue(std::string_view text);

// The numeric fields of a device's last record, by field number (3 for the first after the
// identifier); a field cut short by the summary is not trusted.
std::vector<std::pair<std::size_t, double>> lastNumericFields(const DeviceSummary &device);
