#include "fleet/model/chart_data.hpp"
#include "fleet/model/device_file.hpp"
#include "fleet/model/rotation.hpp"

#include <algorithm>
#include <cmath>

#include <fcntl.h>

namespace fs = std::filesystem;

namespace {

// No shorter than a slice of the chart: records within one are a single point.
std::int64_t silenceThresholdOf(const FleetDevice &device, const IntervalTally &intervals,
                                const Window &window) {
  const auto usual = intervals.usual();
  const double fiveIntervals = usual ? 5 * *usual : double(device.staleSeconds);
  const std::int64_t slice = (window.since.seconds + chartSlices - 1) / chartSlices;
  return std::max(
      slice, std::min(device.staleSeconds, static_cast<std::int64_t>(std::ceil(fiveIntervals))));
}

} // namespace

DeviceChart readChart(const std::vector<fs::path> &logDirs, const FleetDevice &device,
                      const Window &window) {
  ChartDrawing drawing;
  if (device.records > 0) {
    // Each of the device's directories opened once; a file's records are drawn by their
    // times, so the order of the files is of no matter.
    std::map<std::size_t, FileDescriptor> dirs;
    const auto dirOf = [&](std::size_t directory) -> const FileDescriptor & {
      auto [found, fresh] = dirs.try_emplace(directory);
      if (fresh && directory < logDirs.size()) {
        found->second =
            FileDescriptor(::open(logDirs[directory].c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      }
      return found->second;
    };
    for (const FileAt &file : device.files) {
      (void)readDeviceFile(dirOf(file.directory), file.name, window, &drawing);
    }
    // The same rotated parts as for the table, so that a chart runs on across a rotation.
    for (const FileAt &file : device.predecessorsRead) {
      const auto rotated = rotatedDeviceFile(file.name);
      const DeviceFileNames part{file.name, false, {{file.name, rotated && rotated->compressed}}};
      (void)readDeviceFiles(dirOf(file.directory), part, window, &drawing);
    }
  }
  DeviceChart chart;
  chart.slices = std::move(drawing.slices);
  for (const auto &[number, slice] : chart.slices) {
    chart.fields = std::max(chart.fields, slice.means.size());
  }
  chart.silenceThreshold = silenceThresholdOf(device, drawing.intervals, window);
  chart.silences = silencesOf(chart.slices, chart.silenceThreshold, window.now);
  return chart;
}

std::vector<Silence> silencesOf(const std::map<long, ChartSlice> &slices, std::int64_t threshold,
                                std::time_t now) {
  std::vector<Silence> silences;
  const ChartSlice *previous = nullptr;
  for (const auto &[slice, data] : slices) {
    if (previous != nullptr && data.first - previous->time > threshold) {
      silences.push_back({previous->time, data.first});
    }
    previous = &data;
  }
  if (previous != nullptr && now - previous->time > threshold) {
    silences.push_back({previous->time, now});
  }
  return silences;
}

void IntervalTally::add(std::int64_t seconds) {
  if (seconds <= 0) {
    return; // records of one second are one measurement sent twice, not an interval
  }
  std::size_t bucket = 0;
  for (auto rest = static_cast<std::uint64_t>(std::max<std::int64_t>(seconds, 0)); rest > 0;
       rest >>= 1U) {
    ++bucket;
  }
  ++counts_.at(bucket);
  sums_.at(bucket) += static_cast<double>(seconds);
  ++total_;
}

std::optional<double> IntervalTally::usual() const {
  std::uint64_t below = 0;
  for (std::size_t bucket = 0; bucket < buckets; ++bucket) {
    below += counts_.at(bucket);
    if (total_ > 0 && below * 2 >= total_) {
      return sums_.at(bucket) / static_cast<double>(counts_.at(bucket));
    }
  }
  return std::nullopt;
}
