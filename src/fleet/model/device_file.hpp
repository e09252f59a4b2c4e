#pragma once

// One device file, read from its end back to the start of the window: what it says about its
// device, and what of it can be believed.

#include "fleet/model/chart_data.hpp"
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
// write the log directory could point it at any file the view may read. With `chart`, the
// records of the window are drawn there too.
FileReading readDeviceFile(const FileDescriptor &dir, const std::string &fileName,
                           const Window &window, ChartDrawing *chart = nullptr);

// A rotated part of a device file, as rotatedDeviceFile tells it.
struct Predecessor {
  std::string name;
  bool compressed = false;
};

// A device file and its rotated predecessors, newest first.
struct DeviceFileNames {
  std::string deviceFile;
  bool current = true; // the device file itself is there: not after a rotation without create
  std::vector<Predecessor> predecessors;
};

// The device file, then its predecessors, newest first, as long as the window or the last
// record reaches past what was read: the history that a rotation cut, read as one.
FileReading readDeviceFiles(const FileDescriptor &dir, const DeviceFileNames &names,
                            const Window &window, ChartDrawing *chart = nullptr);

// The same for a file named by its path, for a look at one file.
FileReading readDeviceFile(const std::filesystem::path &path, const Window &window,
                           ChartDrawing *chart = nullptr);
