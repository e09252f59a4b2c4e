#include "fleet/reading.hpp"
#include "fleet/time_stamps.hpp"

#include "devicelog/file_descriptor.hpp"
#include "devicelog/record_format.hpp"
#include "devicelog/report.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunkSize = std::size_t{64} * 1024;
// The collector stores at most 64 KiB per report; a longer run without a line feed is junk,
// or a hole in a sparse file, and nothing before it is read.
constexpr std::size_t longestLine = std::size_t{1024} * 1024;
// The most that one report can add to a file: 64 KiB from the peer, the stamp and its comma.
// A run of records older than the window must be longer than this before it ends the
// reading, so that one report cannot hide the records before it.
constexpr off_t largestReport = maxReportBytes + timestampLength + 1;
// When this much of a file's end holds no stamp that can be believed, the rest is not read.
constexpr off_t stampSearch = off_t{1024} * 1024;
// A stamp is taken before the record is written, and a file's time has the grain of the
// file system's clock: a genuine stamp may be a second or two newer than the file's time.
constexpr std::time_t clockGrain = 2;
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

// A board that ends its lines with CR LF: the carriage return is not part of the last value.
std::string_view withoutCarriageReturn(std::string_view line) {
  return !line.empty() && line.back() == '\r' ? line.substr(0, line.size() - 1) : line;
}

// Adds `value` to a running mean of `count` values, which then counts one more. No sum is
// formed, so values near the largest a double holds stay finite.
void addToMean(double &mean, unsigned &count, double value) {
  ++count;
  mean += value / count - mean / count;
}

void addToChart(DeviceSummary &device, std::time_t time, std::string_view values,
                const Window &window) {
  const std::time_t start = windowStart(window);
  const long slice =
      std::clamp<long>(static_cast<long>((time - start) * chartSlices /
                                         std::max<std::int64_t>(window.since.seconds, 1)),
                       0, chartSlices - 1);
  const bool fresh = device.chart.count(slice) == 0;
  ChartSlice &target = device.chart[slice];
  target.first = fresh ? time : std::min(target.first, time);
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
    target.means.resize(std::max(target.means.size(), field + 1));
    target.counts.resize(target.means.size());
    addToMean(target.means[field], target.counts[field], number);
  }
}

// The fields of a record after its identifier, cut to what the operator is shown.
struct LastFields {
  std::string text;
  std::size_t length = 0; // before it was cut
};

LastFields lastFieldsOf(std::string_view line) {
  const std::string_view fields = fieldsAfterIdentifier(line);
  return {std::string(fields.substr(0, lastFieldsKept)), fields.size()};
}

// Reads the lines of a file, newest first: believes what can be believed, counts and charts
// the records of the window, and says when to stop.
struct WindowReader {
  DeviceSummary &device;
  const Window &window;
  bool withCharts;
  off_t fileSize;
  std::time_t latest; // no genuine record is newer than the file's last write
  StampClock clock{};
  bool haveTime = false;
  // The newest line without a stamp since the last stamped line read: the last line of a
  // report whose first line is further back, and its last record if that first line is the
  // newest believed one.
  std::optional<LastFields> newestUntimed{};
  std::optional<LastFields> lastUntimedInFile{}; // for a file without a believed stamp
  std::optional<std::time_t> next{}; // the instant of the believed record after this line
  bool nextInWindow = false;         // and whether it is in the window
  std::size_t untimed = 0;           // lines without a stamp, after the line being read
  std::optional<off_t> oldRunEnd{};  // the end of the newest line of a run of old records
  bool stoppedWithoutStamp = false;  // the last part of the file had no believed stamp

  bool operator()(std::string_view line, off_t start) {
    const off_t end = start + static_cast<off_t>(line.size()) + 1;
    line = withoutCarriageReturn(line);
    if (!hasTimestamp(line)) {
      ++untimed; // a further line of a report
      if (!newestUntimed) {
        newestUntimed = lastFieldsOf(line);
      }
      if (!lastUntimedInFile) {
        lastUntimedInFile = newestUntimed;
      }
      return wantsBefore(start);
    }
    const auto stamp = parseStamp(line);
    const auto instant = stamp ? clock.believedInstant(*stamp, latest, next) : std::nullopt;
    if (!instant) {
      ++device.notBelieved;
      newestUntimed.reset();
      return wantsBefore(start);
    }
    if (!haveTime || *instant > device.lastSeen) {
      const LastFields last = newestUntimed ? *newestUntimed : lastFieldsOf(line);
      device.lastFields = last.text;
      device.lastFieldsLength = last.length;
    }
    newestUntimed.reset();
    believe(*instant, line);
    if (*instant < windowStart(window) && !oldRunEnd) {
      oldRunEnd = end;
    }
    return wantsBefore(start);
  }

  void believe(std::time_t instant, std::string_view line) {
    device.lastSeen = haveTime ? std::max(device.lastSeen, instant) : instant;
    haveTime = true;
    const bool inWindow = instant >= windowStart(window);
    if (inWindow && withCharts && nextInWindow && instant <= *next) {
      device.intervals.add(*next - instant);
    }
    next = instant;
    nextInWindow = inWindow;
    if (!inWindow) {
      return;
    }
    // The lines after it were written after it: in the window too, even past an old stamp,
    // which only a forged line or a clock set back can put there.
    device.records += 1 + untimed;
    untimed = 0;
    oldRunEnd.reset();
    if (withCharts) {
      addToChart(device, instant, fieldsAfterIdentifier(line), window);
    }
  }

  // Whether the bytes before `pos` are still wanted; a line that starts before them and is
  // not read to its start yet would only make a run of old records longer, or the part
  // without a stamp.
  bool wantsBefore(off_t pos) {
    if (oldRunEnd && *oldRunEnd - pos > largestReport) {
      return false;
    }
    if (!haveTime && fileSize - pos > stampSearch) {
      stoppedWithoutStamp = true;
      return false;
    }
    return true;
  }
};

// Where the last line feed before `end` is in `text`, or npos. The library's backward search
// goes a byte at a time, and lines a peer sends can be 64 KiB long.
std::size_t lastLineFeed(const std::string &text, std::size_t end) {
  const void *found = ::memrchr(text.data(), '\n', end);
  return found == nullptr
             ? std::string::npos
             : static_cast<std::size_t>(static_cast<const char *>(found) - text.data());
}

// Hands the complete lines of the file to `reader` with the offset where each starts, the
// last first, until it says stop, or says that nothing before the bytes read is wanted. Bytes
// after the last line feed are not a line yet: the collector may be writing them.
void eachLineBackwards(const FileDescriptor &file, off_t size, WindowReader &reader,
                       std::vector<std::string> &notes) {
  std::string text; // read but not yet visited: the bytes from `pos` on
  bool endsInLineFeed = false;
  off_t pos = size;
  while (pos > 0 && reader.wantsBefore(pos)) {
    const auto count = static_cast<std::size_t>(std::min<off_t>(pos, chunkSize));
    pos -= static_cast<off_t>(count);
    text.insert(0, readAt(file, pos, count));
    if (!endsInLineFeed) {
      const auto last = lastLineFeed(text, text.size());
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
      for (std::size_t start; end > 0 && (start = lastLineFeed(text, end)) != std::string::npos;
           end = start) {
        const auto line = std::string_view(text).substr(start + 1, end - start - 1);
        if (!reader(line, pos + static_cast<off_t>(start + 1))) {
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
  if (pos > 0) {
    return; // the reader wants no more
  }
  if (endsInLineFeed) {
    reader(std::string_view(text).substr(0, text.size() - 1), 0);
  } else {
    notes.emplace_back(size == 0 ? "empty file" : "no complete line");
  }
}

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

std::string linesNote(std::size_t count, const char *what) {
  return std::to_string(count) + (count == 1 ? " line " : " lines ") + what;
}

// Reads the open device file from its end back to the start of the window into `device`.
void countTheWindow(DeviceSummary &device, const FileDescriptor &file, const struct stat &status,
                    const Window &window, bool withCharts, const fs::path &path) {
  WindowReader reader{device, window, withCharts, status.st_size, status.st_mtime + clockGrain};
  try {
    eachLineBackwards(file, status.st_size, reader, device.notes);
  } catch (const std::system_error &e) {
    reportUnreadable(device, path, e.code().message());
  }
  if (!reader.haveTime) {
    useFileTime(device, status);
    if (reader.lastUntimedInFile) {
      device.lastFields = reader.lastUntimedInFile->text;
      device.lastFieldsLength = reader.lastUntimedInFile->length;
    }
  }
  // Lines without a stamp before the first one read: from the window, unless they belong
  // to a record older than it.
  const bool untimedInWindow =
      reader.haveTime ? !reader.oldRunEnd : status.st_mtime >= windowStart(window);
  if (untimedInWindow) {
    device.records += reader.untimed;
  }
  if (device.notBelieved > 0) {
    device.notes.push_back(linesNote(device.notBelieved, "not believed"));
  }
  if (reader.stoppedWithoutStamp) {
    device.notes.emplace_back("no time stamp in the last 1 MiB: read no further");
  }
}

DeviceSummary namedFor(const std::string &fileName) {
  DeviceSummary device;
  device.fileName = fileName;
  device.name = deviceName(fileName).value_or(fileName);
  return device;
}

// The device file `fileName` in the directory `dir`. A link is not followed: whoever can
// write the log directory could point it at any file the view may read.
DeviceSummary readDeviceAt(const FileDescriptor &dir, const fs::path &dirPath,
                           const std::string &fileName, const Window &window, bool withCharts) {
  DeviceSummary device = namedFor(fileName);
  const fs::path path = dirPath / fileName;
  struct stat status {};
  const FileDescriptor file(
      ::openat(dir.get(), fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!file.isOpen() && errno == ELOOP) {
    device.notes.emplace_back("a symbolic link: not read");
    return device;
  }
  if (!file.isOpen() || ::fstat(file.get(), &status) != 0) {
    reportUnreadable(device, path, std::strerror(errno));
    if (::fstatat(dir.get(), fileName.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      useFileTime(device, status);
    }
    return device;
  }
  if (!S_ISREG(status.st_mode)) {
    device.notes.emplace_back("not a regular file: not read");
    return device;
  }
  countTheWindow(device, file, status, window, withCharts, path);
  return device;
}

struct DirectoryCloser {
  void operator()(DIR *dir) const {
    ::closedir(dir);
  }
};

// The names in the directory that end as device files do.
std::vector<std::string> deviceFileNames(const FileDescriptor &dir) {
  FileDescriptor listing(::dup(dir.get()));
  std::unique_ptr<DIR, DirectoryCloser> entries(listing.isOpen() ? ::fdopendir(listing.get())
                                                                 : nullptr);
  if (!entries) {
    throw UnreadableLogDirectory("cannot read", errno);
  }
  listing.release(); // the listing owns it now
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(entries.get());
    if (entry == nullptr) {
      if (errno != 0) {
        throw UnreadableLogDirectory("cannot read", errno);
      }
      return names;
    }
    if (deviceName(entry->d_name)) {
      names.emplace_back(entry->d_name);
    }
  }
}

bool isDirectory(const FileDescriptor &dir, const std::string &name) {
  struct stat status {};
  return ::fstatat(dir.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(status.st_mode);
}

} // namespace

void IntervalTally::add(std::int64_t seconds) {
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

DeviceSummary readDeviceFile(const fs::path &path, const Window &window, bool withCharts) {
  const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const FileDescriptor dir(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return readDeviceAt(dir, parent, path.filename().string(), window, withCharts);
}

std::vector<DeviceSummary> readFleet(const fs::path &logDir, const Window &window,
                                     bool withCharts) {
  const FileDescriptor dir(::open(logDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.isOpen()) {
    throw UnreadableLogDirectory("cannot read", errno);
  }
  // Names that can be listed but not opened would show every device as unreadable: the
  // directory, not the devices, is what is wrong.
  if (::faccessat(dir.get(), ".", X_OK, AT_EACCESS) != 0) {
    throw UnreadableLogDirectory("cannot search", errno);
  }
  std::vector<DeviceSummary> devices;
  for (const std::string &fileName : deviceFileNames(dir)) {
    if (isDirectory(dir, fileName)) {
      std::cerr << "report-collector-fleet: skipped " << printable((logDir / fileName).string())
                << ": a directory, not a device file" << std::endl;
      continue;
    }
    devices.push_back(readDeviceAt(dir, logDir, fileName, window, withCharts));
  }
  return devices;
}
