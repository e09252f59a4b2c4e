#pragma once

// One device file, read from its end back to the start of the window: what it says about its
// device, and what of it can be believed.

#include "fleet/model/fleet.hpp"

#include "base/file_descriptor.hpp"

#include <filesystem>
#include <string>
#include <vector>

// Where a file's records are drawn, when a chart is wanted.
struct ChartDrawing {
  std::map<long, ChartSlice> slices;
  IntervalTally intervals;
};

// The file `fileName` in the directory `dir`, opened without following a link: whoever can
// write the log directory could point it at any file the view may read. Its modification time
// stands in for the time of its last record when no record has a time stamp that can be
// believed. With `chart`, the records of the window are drawn there too.
FileReading readDeviceFile(const FileDescriptor &dir, const std::string &fileName,
                           const Window &window, ChartDrawing *chart = nullptr);

// The same for a file named by its path, for a look at one file.
FileReading readDeviceFile(const std::filesystem::path &path, const Window &window,
                           ChartDrawing *chart = nullptr);
