#pragma once

// The shape of a device file, shared by the collector that writes it and the fleet view that
// reads it: one record per line, each first line of a report starting with the local time of
// receipt, the device identifier in the second field, and the file named after it.

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// The time stamp is fourteen digits of local time, DDMMYYYYhhmmss, followed by a comma.
constexpr const char *timestampFormat = "%d%m%Y%H%M%S";
constexpr std::size_t timestampLength = 14;

// A report is a few short lines; what one peer sends beyond this is not a board talking. So
// no line of a device file is longer than this and a stamp with its comma.
constexpr std::size_t maxReportBytes = 65536;
constexpr std::size_t longestStoredLine = maxReportBytes + timestampLength + 1;

// Fields are separated by commas; the second one names the device.
constexpr char fieldSeparator = ',';
constexpr std::size_t identifierField = 1;

// A device file is named after its identifier, without colons, with this suffix.
constexpr std::string_view deviceFileSuffix = ".csv";

// `time` as a record's time stamp, in local time.
std::string formatTimestamp(std::time_t time);

// A report as it is echoed and stored: the time stamp of `time`, a comma, and the report's
// text as the device sent it. Only its first line starts with the stamp.
std::string stampedReport(std::time_t time, std::string_view data);

// The device identifier of a record: its field after the time stamp. Nothing when the
// record has no such field; a separator that ends the record starts no field.
std::optional<std::string_view> identifierOf(std::string_view record);

// Whether `record` starts with a time stamp's fourteen digits and a comma, a real date or
// not; a further line of a report does not.
bool hasTimestamp(std::string_view record);

// What follows the device identifier in a record, or "" when nothing does.
std::string_view fieldsAfterIdentifier(std::string_view record);

// The device file's name for `macAddress`, or an empty string when the identifier
// would name a file outside the log directory.
std::string deviceFileName(const std::string &macAddress);

// The device's name as its file shows it: the file name without the suffix; nothing for a
// file that is not a device file.
std::optional<std::string> deviceName(const std::string &fileName);
