#pragma once

// The names that logrotate gives a device file's older parts. A board's history goes on in
// them after a rotation: they are read as the device file's predecessors, and are never
// devices of their own.

#include <optional>
#include <string>
#include <string_view>

// A rotated part of a device file: the device file's name, and whether it is compressed.
struct RotatedName {
  std::string deviceFile; // such as "X.csv"
  bool compressed = false;
};

// What `fileName` is a rotated part of, or nothing when it is none: "X.csv" followed by '.',
// '-' or '_' and digits, with '.', '-' or '_' between them ("X.csv.1", "X.csv-20261209",
// "X.csv-2026-12-09"), as logrotate names them by count or with dateext and dateformat; or,
// with `extension .csv`, "X.N.csv" for a count N from 1, and "X" followed by '.', '-' or '_'
// and a date of at least 8 digits before ".csv" ("X-20261209.csv"); each perhaps with ".gz"
// after it, as compress makes it. A part of a part, as logrotate makes with `extension .csv`
// and a pattern that matches its parts, is a part of the same device file.
std::optional<RotatedName> rotatedDeviceFile(std::string_view fileName);
