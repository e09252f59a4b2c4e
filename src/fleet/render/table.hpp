#pragma once

// The fleet as a table for the terminal: a row per device, the closing line, and with a
// device list, the files it does not name.

#include "fleet/model/fleet.hpp"

#include <cstddef>
#include <string>

// The table with its closing line; `width` bounds the lines.
std::string tableText(const Fleet &fleet, std::size_t width);
