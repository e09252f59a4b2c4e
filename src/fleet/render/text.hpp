#pragma once

// What the fleet view says about a device in words, the same in the table and on the page;
// each of them lays the words out and makes them safe for its medium.

#include "fleet/model/fleet.hpp"

#include <cstdint>
#include <ctime>
#include <string>

// "45s", "12m", "3h", "5d": the largest whole unit.
std::string formatAge(std::int64_t seconds);

// `time` as local time in `format`; by default "2026-12-08 14:30:05".
std::string formatLocalTime(std::time_t time, const char *format = "%Y-%m-%d %H:%M:%S");

// "1 device", "12 devices".
std::string plural(std::size_t count, const char *word);

// One device in words. The notes, what was odd about its files, stay apart from the last
// record so that a narrow terminal cuts the record and never the notes. Texts from device
// files are printable; the list's name is UTF-8 without controls.
struct DeviceWords {
  std::string device, records, lastSeen, age, state, last, notes;
};
inline const DeviceWords headings{"DEVICE", "RECORDS",     "LAST SEEN", "AGE",
                                  "STATE",  "LAST RECORD", ""};
DeviceWords wordsFor(const FleetDevice &device, const Window &window);

// A value as the C locale writes it, as short as it can be read back: "21.5", "1e+300".
std::string formatValue(double value);

// "STALE", "CRITICAL", "UNKNOWN", "WARNING", "ok".
std::string stateWord(DeviceState state);
// "OK", "WARNING", "CRITICAL", "UNKNOWN": the words of monitoring plugins, for a field and
// for the fleet's status alike.
std::string stateWord(FieldState state);
std::string stateWord(FleetStatus status);

// A field against its ranges, as "temperature 36.2 CRITICAL (2:35)" or "battery UNKNOWN (no
// number)"; the field's name is from the list.
std::string checkText(const DeviceField &field);

// "12 devices, 1 stale (no record for 1h)".
std::string fleetSummaryLine(const Fleet &fleet);
