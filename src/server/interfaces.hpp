#pragma once

#include "server/guidance.hpp"

#include <vector>

// The IPv4 addresses of the machine's network interfaces; none when they cannot be read.
std::vector<InterfaceAddress> readInterfaceAddresses();
