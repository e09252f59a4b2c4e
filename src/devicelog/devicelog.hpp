#pragma once

#include "devicelog/record_format.hpp"

#include <filesystem>
#include <string>

// Splits a stamped report into records (its lines) and appends each record that has a
// device identifier (its second comma-separated field) to that device's file in `logDir`.
// A record that cannot be stored is reported on standard error and the next one is
// tried; a log directory that cannot be made throws std::filesystem::filesystem_error.
void processReport(const std::string &pkg, const std::filesystem::path &logDir);

// Appends `line` to "<logDir>/<macAddress without colons>.csv", in one write. Throws
// std::invalid_argument for an identifier that would name a file outside `logDir`,
// std::system_error when the record cannot be stored, and
// std::filesystem::filesystem_error when the log directory cannot be made.
void appendToDeviceLog(const std::filesystem::path &logDir, const std::string &macAddress,
                       const std::string &line);
