#include "fleet/reading.hpp"

#include "devicelog/file_descriptor.hpp"
#include "devicelog/record_format.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunkSize = std::size_t{64} * 1024;
// The collector stores at most 64 KiB per report; a longer run without a line feed is junk,
// or a hole in a sparse file, and nothing before it is read.
constexpr std::size_t longestLine = std::size_t{1024} * 1024;
// Lines in a chart: the first value fields of a record.
constexpr std::size_t chartedFields = 12;

std::string readAt(const FileDescriptor &file, off_t offset, std::size_t count) {
  std::string bytes(count, '\0');
  std::size_t done = 0;
  while (done < count) {
    const auto got =
        ::pread(file.get(), bytes.data() + done, count - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      throw std::system_error(got < 0 ? errno : EIO, std::generic_category(), "read");
    }
    done += static_cast<std::size_t>(got);
  }
  return bytes;
}

// Hands the complete lines of the file to `visit`, the last first, until it says stop.
// Bytes after the last line feed are not a line yet: the collector may be writing them.
void eachLineBackwards(const FileDescriptor &file, off_t size,
                       const std::function<bool(std::string_view)> &visit,
                       std::vector<std::string> &notes) {
  std::string text; // read but not yet visited, from `pos` on
  bool endsInLineFeed = false;
  off_t pos = size;
  while (pos > 0) {
    const auto count = static_cast<std::size_t>(std::min<off_t>(pos, chunkSize));
    pos -= static_cast<off_t>(count);
    text.insert(0, readAt(file, pos, count));
    if (!endsInLineFeed) {
      const auto last = text.rfind('\n');
      if (last != std::string::npos) {
        if (last + 1 < text.size()) {
          notes.emplace_back("last line has no line feed yet: ignored");
        }
        text.resize(last + 1);
        endsInLineFeed = true;
      }
    }
    if (endsInLineFeed) {
      std::size_t end = text.size() - 1; // the line feed of the line being cut off
      for (std::size_t start; end > 0 && (start = text.rfind('\n', end - 1)) != std::string::npos;
           end = start) {
        if (!visit(std::string_view(text).substr(start + 1, end - start - 1))) {
          return;
        }
      }
      text.resize(end + 1);
    }
    if (text.size() > longestLine) {
      notes.emplace_back("a line of more than 1 MiB: nothing before it was read");
      return;
    }
  }
  if (endsInLineFeed) {
    visit(std::string_view(text).substr(0, text.size() - 1));
  } else {
    notes.emplace_back(size == 0 ? "empty file" : "no complete line");
  }
}

void addToChart(DeviceSummary &device, std::time_t time, std::string_view values,
                const Window &window) {
  const std::time_t start = windowStart(window);
  const long slice =
      std::clamp<long>(static_cast<long>((time - start) * chartSlices /
                                         std::max<std::int64_t>(window.since.seconds, 1)),
                       0, chartSlices - 1);
  ChartSlice &target = device.chart[slice];
  target.time = std::max(target.time, time);
  for (std::size_t field = 0; field < chartedFields && !values.empty(); ++field) {
    const auto comma = values.find(fieldSeparator);
    const std::string value(values.substr(0, comma));
    values = comma == std::string_view::npos ? std::string_view() : values.substr(comma + 1);
    char *end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(number)) {
      continue; // not a number: not charted
    }
    target.sums.resize(std::max(target.sums.size(), field + 1));
    target.counts.resize(target.sums.size());
    target.sums[field] += number;
    ++target.counts[field];
  }
}

// Counts and charts the records of the window, newest first; says whether to read on.
struct WindowCounter {
  DeviceSummary &device;
  const Window &window;
  bool withCharts;
  bool haveLast = false;
  bool haveTime = false;
  bool reachedWindowStart = false;
  std::size_t untimed = 0; // further lines of a report whose first line is not read yet

  bool operator()(std::string_view line) {
    if (!haveLast) {
      device.lastFields = fieldsAfterIdentifier(line);
      haveLast = true;
    }
    const auto time = recordTime(line);
    if (!time) {
      ++untimed;
      return true;
    }
    if (!haveTime) {
      device.lastSeen = *time;
      haveTime = true;
    }
    if (*time < windowStart(window)) {
      reachedWindowStart = true; // the lines after it were part of its report
      return false;
    }
    device.records += 1 + untimed;
    untimed = 0;
    if (withCharts) {
      addToChart(device, *time, fieldsAfterIdentifier(line), window);
    }
    return true;
  }
};

// Said in the device's row and on standard error; the rest of the fleet is read all the same.
void reportUnreadable(DeviceSummary &device, const fs::path &path, const std::string &reason) {
  device.notes.emplace_back("cannot read: " + reason);
  std::cerr << "report-collector-fleet: cannot read " << printable(path.string()) << ": " << reason
            << std::endl;
}

void useFileTime(DeviceSummary &device, const struct stat &status) {
  device.lastSeen = status.st_mtime;
  device.lastSeenFromFileTime = true;
}

// Reads the open device file from its end back to the start of the window into `device`.
void countTheWindow(DeviceSummary &device, const FileDescriptor &file, const struct stat &status,
                    const Window &window, bool withCharts, const fs::path &path) {
  WindowCounter counter{device, window, withCharts};
  try {
    eachLineBackwards(file, status.st_size, std::ref(counter), device.notes);
  } catch (const std::system_error &e) {
    reportUnreadable(device, path, e.code().message());
  }
  if (!counter.haveTime) {
    useFileTime(device, status);
  }
  // Lines without a time stamp before the first one read: from the window, unless they
  // belong to a record older than it.
  const bool untimedInWindow =
      counter.haveTime ? !counter.reachedWindowStart : status.st_mtime >= windowStart(window);
  if (untimedInWindow) {
    device.records += counter.untimed;
  }
}

} // namespace

DeviceSummary readDeviceFile(const fs::path &path, const Window &window, bool withCharts) {
  DeviceSummary device;
  device.name = deviceName(path.filename().string()).value_or(path.filename().string());
  struct stat status {};
  const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!file.isOpen() || ::fstat(file.get(), &status) != 0) {
    reportUnreadable(device, path, std::strerror(errno));
    if (::stat(path.c_str(), &status) == 0) {
      useFileTime(device, status);
    }
    return device;
  }
  countTheWindow(device, file, status, window, withCharts, path);
  return device;
}

std::vector<DeviceSummary> readFleet(const fs::path &logDir, const Window &window, bool withCharts,
                                     const std::function<void(DeviceSummary &)> &eachRead) {
  std::vector<DeviceSummary> devices;
  for (const auto &entry : fs::directory_iterator(logDir)) {
    if (!deviceName(entry.path().filename().string())) {
      continue;
    }
    std::error_code ec;
    if (entry.is_directory(ec)) {
      std::cerr << "report-collector-fleet: skipped " << printable(entry.path().string())
                << ": a directory, not a device file" << std::endl;
      continue;
    }
    devices.push_back(readDeviceFile(entry.path(), window, withCharts));
    if (eachRead) {
      eachRead(devices.back());
    }
  }
  return devices;
}
