#pragma once

// The fleet view as a monitoring plugin's check, as Nagios, Icinga and Naemon read one: a
// status line with the performance data, then the table as the long output.

#include "fleet/model/fleet.hpp"

#include <cstddef>
#include <string>
#include <string_view>

// "FLEET CRITICAL - 2 of 40 out of range, 1 stale | 'Greenhouse north
// temperature'=21.5C;5:30;2:35;;" and `table`, the fleet's table, below it.
// With a `problem`, such as a page that could not be written, the word is UNKNOWN and the
// problem comes first: "FLEET UNKNOWN - cannot write fleet.html: No space left on device;
// 2 of 40 ...". The only '|' is the one before the performance data.
std::string pluginOutput(const Fleet &fleet, const std::string &table,
                         const std::string &problem = "");

// The status line of a view that could not work at all: "FLEET UNKNOWN - cannot read log: No
// such file or directory".
std::string pluginUnknown(const std::string &reason);

// `text` with each '|' shown as pipeStandIn: engines take what follows a '|' for performance
// data.
std::string withoutPipes(std::string_view text);
inline constexpr std::string_view pipeStandIn = "\xc2\xa6"; // U+00A6 BROKEN BAR, in UTF-8

// A value in plain decimal notation, with the digits it has and no exponent, as engines and
// graphers read performance data: "100000", "0.00001", "-0.0000001".
std::string plainDecimal(double value);

// A unit of the device list as performance data may carry it: those monitoring systems keep
// ("°C" is "C"), else nothing.
std::string perfdataUnit(std::string_view unit);

// A performance data label, quoted: a quote doubled, an equals sign, which ends the label,
// as an underscore.
std::string perfdataLabel(std::string_view label);
