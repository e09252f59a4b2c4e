#pragma once

// The fleet view as a monitoring plugin's check, as Nagios, Icinga and Naemon read one: a
// status line with the performance data, then the table as the long output.

#include "fleet/model/fleet.hpp"

#include <cstddef>
#include <string>
#include <string_view>

// "FLEET CRITICAL - 2 of 40 out of range, 1 stale | 'Greenhouse north
// temperature'=21.5C;5:30;2:35;;" and the table below it; `width` bounds the table's lines.
std::string pluginOutput(const Fleet &fleet, std::size_t width);

// A unit of the device list as performance data may carry it: those monitoring systems keep
// ("°C" is "C"), else nothing.
std::string perfdataUnit(std::string_view unit);

// A performance data label, quoted: a quote doubled, an equals sign, which ends the label,
// as an underscore.
std::string perfdataLabel(std::string_view label);
