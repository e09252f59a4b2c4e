#pragma once

// Which records the device list in force lets the collector store: decided here, without I/O.

#include "devices/device_list.hpp"
#include "server/report.hpp"

#include <optional>
#include <string>

// What the operator is told when `record` is refused because its identifier is not on
// `devices`, or nothing when it may be stored. Without a list (nullptr), every record may.
std::optional<std::string> refusalByDeviceList(const DeviceKeys *devices, const Record &record);
