#include "fleet/model/device_file.hpp"
#include "fleet/model/time_stamps.hpp"

#include "base/escaping.hpp"

#include "devicelog/record_format.hpp"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::size_t chunkSize = std::size_t{64} * 1024;
// The collector stores at most 64 KiB per report; a longer run without a line feed is junk,
// or a hole in a sparse file, and nothing before it is read.
constexpr std::size_t longestLine = std::size_t{1024} * 1024;
// A run of records older than the window ends the reading once it is this long: well past
// what a few reports can add (at most 64 KiB each), so that anyone who sends a few reports
// with old stamps in further lines cannot hide a board's records of the window behind them.
constexpr off_t oldRunLimit = off_t{4} * 1024 * 1024;
// When this much of a file's end holds no stamp that can be believed, the rest is not read.
constexpr off_t stampSearch = off_t{1024} * 1024;
// A stamp is taken before the record is written, and a file's time has the grain of the
// file system's clock: a genuine stamp may be a second or two newer than the file's time.
constexpr std::time_t clockGrain = 2;

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

void addToChart(ChartDrawing &chart, std::time_t time, std::string_view values,
                const Window &window) {
  const std::time_t start = windowStart(window);
  const long slice =
      std::clamp<long>(static_cast<long>((time - start) * chartSlices /
                                         std::max<std::int64_t>(window.since.seconds, 1)),
                       0, chartSlices - 1);
  const bool fresh = chart.slices.count(slice) == 0;
  ChartSlice &target = chart.slices[slice];
  target.first = fresh ? time : std::min(target.first, time);
  target.time = std::max(target.time, time);
  for (const FieldValue &value : numericFields(values)) {
    const std::size_t fields = std::max(target.means.size(), value.field + 1);
    target.means.resize(fields);
    target.lows.resize(fields);
    target.highs.resize(fields);
    target.counts.resize(fields);
    const bool first = target.counts[value.field] == 0;
    double &low = target.lows[value.field];
    double &high = target.highs[value.field];
    low = first ? value.value : std::min(low, value.value);
    high = first ? value.value : std::max(high, value.value);
    blendMean(target.means[value.field], target.counts[value.field], value.value, 1);
  }
}

// A date as one number that orders as dates do: 20261208 for 8 December 2026.
int dayNumber(int year, int month, int day) {
  return year * 10000 + month * 100 + day;
}

// The local date two days before `time`: a stamp of an earlier date names an instant before
// `time`, whatever the time zone's offset.
int dayNumberTwoDaysBefore(std::time_t time) {
  const std::time_t earlier = time - std::time_t{2} * 86400;
  std::tm local{};
  localtime_r(&earlier, &local);
  return dayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

LastRecord lastRecordOf(std::string_view line) {
  const std::string_view fields = fieldsAfterIdentifier(line);
  return {std::string(fields.substr(0, lastRecordKept)), fields.size(), numericFields(fields)};
}

// Reads the lines of a file, newest first: believes what can be believed, counts and charts
// the records of the window, and says when to stop.
struct WindowReader {
  FileReading &device;
  const Window &window;
  ChartDrawing *chart;
  off_t fileSize;
  std::time_t latest; // no genuine record is newer than the file's last write
  StampClock clock{};
  bool haveTime = false;
  // The newest line without a stamp since the last stamped line read: the last line of a
  // report whose first line is further back, and its last record if that first line is the
  // newest believed one.
  std::optional<LastRecord> newestUntimed{};
  std::optional<LastRecord> lastUntimedInFile{}; // for a file without a believed stamp
  std::optional<std::time_t> next{}; // the instant of the believed record after this line
  bool nextInWindow = false;         // and whether it is in the window
  std::size_t untimed = 0;           // lines without a stamp, after the line being read
  std::optional<off_t> oldRunEnd{};  // the end of the newest line of a run of old records
  bool stoppedWithoutStamp = false;  // the last part of the file had no believed stamp
  bool stoppedInOldRun = false;      // reading ended in a run of records older than the window
  bool reachedStart = false;         // the file's first line was read
  std::size_t notBelieved = 0;       // lines whose time stamp cannot be true
  // In a run of old records, a stamp of a date before this one is older than the window and
  // than every record believed: it changes nothing shown, and is passed over without working
  // out its instant, which costs a run of 4 MiB dearly.
  int passOverBefore = 0;

  bool operator()(std::string_view line, off_t start) {
    const off_t end = start + static_cast<off_t>(line.size()) + 1;
    line = withoutCarriageReturn(line);
    if (!hasTimestamp(line)) {
      ++untimed; // a further line of a report
      if (!newestUntimed) {
        newestUntimed = lastRecordOf(line);
      }
      if (!lastUntimedInFile) {
        lastUntimedInFile = newestUntimed;
      }
      return wantsBefore(start);
    }
    const auto stamp = parseStamp(line);
    if (stamp && oldRunEnd && dayNumber(stamp->year, stamp->month, stamp->day) < passOverBefore) {
      newestUntimed.reset();
      nextInWindow = false;
      return wantsBefore(start);
    }
    const auto instant = stamp ? clock.believedInstant(*stamp, latest, next) : std::nullopt;
    if (!instant) {
      ++notBelieved;
      newestUntimed.reset();
      return wantsBefore(start);
    }
    if (!haveTime || *instant > device.lastSeen) {
      device.last = newestUntimed ? std::move(*newestUntimed) : lastRecordOf(line);
    }
    newestUntimed.reset();
    believe(*instant, line);
    if (*instant < windowStart(window) && !oldRunEnd) {
      oldRunEnd = end;
    }
    return wantsBefore(start);
  }

  void believe(std::time_t instant, std::string_view line) {
    if (!haveTime || instant > device.lastSeen) {
      device.lastSeen = instant;
      passOverBefore = dayNumberTwoDaysBefore(std::min(instant, windowStart(window)));
    }
    haveTime = true;
    const bool inWindow = instant >= windowStart(window);
    if (inWindow && chart != nullptr && nextInWindow && instant <= *next) {
      chart->intervals.add(*next - instant);
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
    if (chart != nullptr) {
      addToChart(*chart, instant, fieldsAfterIdentifier(line), window);
    }
  }

  // Whether the bytes before `pos` are still wanted; a line that starts before them and is
  // not read to its start yet would only make a run of old records longer, or the part
  // without a stamp.
  bool wantsBefore(off_t pos) {
    // A file last written before the window began holds no record of the window.
    if (oldRunEnd && latest < windowStart(window)) {
      return false;
    }
    if (oldRunEnd && *oldRunEnd - pos > oldRunLimit) {
      stoppedInOldRun = true;
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
      // Only the bytes just read can hold a line feed before it: the rest were searched.
      std::size_t searchEnd = std::min(end, count);
      for (std::size_t start;
           searchEnd > 0 && (start = lastLineFeed(text, searchEnd)) != std::string::npos;
           end = searchEnd = start) {
        const auto line = std::string_view(text).substr(start + 1, end - start - 1);
        if (!reader(line, pos + static_cast<off_t>(start + 1))) {
          return;
        }
      }
      text.resize(end + 1);
    }
    // Past the window's start, a line longer than any the collector stores is junk, such as
    // a hole of a sparse file, and what is before it is older still: nothing to say.
    if (reader.oldRunEnd && text.size() > longestStoredLine) {
      return;
    }
    if (text.size() > longestLine) {
      notes.emplace_back("a line of more than 1 MiB: nothing before it was read");
      return;
    }
  }
  if (pos > 0) {
    return; // the reader wants no more
  }
  reader.reachedStart = true;
  if (endsInLineFeed) {
    reader(std::string_view(text).substr(0, text.size() - 1), 0);
  } else {
    notes.emplace_back(size == 0 ? "empty file" : "no complete line");
  }
}

void noteUnreadable(FileReading &file, const std::string &reason) {
  file.unreadable = reason;
  file.notes.emplace_back("cannot read: " + reason);
}

std::string linesNote(std::size_t count, const char *what) {
  return std::to_string(count) + (count == 1 ? " line " : " lines ") + what;
}

// Reads the open device file from its end back to the start of the window into `device`.
void countTheWindow(FileReading &device, const FileDescriptor &file, const struct stat &status,
                    const Window &window, ChartDrawing *chart) {
  WindowReader reader{device, window, chart, status.st_size, status.st_mtime + clockGrain};
  try {
    eachLineBackwards(file, status.st_size, reader, device.notes);
  } catch (const std::system_error &e) {
    noteUnreadable(device, e.code().message());
  }
  // Lines without a stamp before the first one read: from the window, unless they belong
  // to a record older than it. Without a believed record, nothing says when they were sent.
  if (reader.haveTime && !reader.oldRunEnd) {
    device.records += reader.untimed;
  }
  if (!reader.haveTime && reader.lastUntimedInFile) {
    device.notes.emplace_back("no line with a believed time stamp");
  }
  // The window, or the last record, reaches past the file's first line: its rotated
  // predecessors tell the rest.
  device.needsOlder = reader.reachedStart && !reader.oldRunEnd;
  if (reader.notBelieved > 0) {
    device.notes.push_back(linesNote(reader.notBelieved, "not believed"));
  }
  // The file was written within the window, yet the records read are all older: lines sent
  // to look old, or a clock set back. What is before them was not read.
  const bool noneInWindow = !reader.haveTime || device.lastSeen < windowStart(window);
  if (reader.stoppedInOldRun && noneInWindow && status.st_mtime >= windowStart(window)) {
    device.notes.emplace_back("cut short: 4 MiB of records older than the window");
  }
  if (reader.stoppedWithoutStamp) {
    device.notes.emplace_back("no time stamp in the last 1 MiB: read no further");
  }
}

} // namespace

namespace {

// The regular file `fileName` in `dir`, opened without following a link; nothing, with a
// note on `device`, when it is none or cannot be opened.
FileDescriptor openRegularFile(const FileDescriptor &dir, const std::string &fileName,
                               FileReading &device, struct stat &status) {
  FileDescriptor file(
      ::openat(dir.get(), fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!file.isOpen() && errno == ELOOP) {
    device.notes.emplace_back("a symbolic link: not read");
    return {};
  }
  if (!file.isOpen() || ::fstat(file.get(), &status) != 0) {
    const int error = errno;
    if (::fstatat(dir.get(), fileName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        S_ISREG(status.st_mode)) {
      noteUnreadable(device, std::strerror(error));
    } else {
      device.notes.emplace_back("not a regular file: not read"); // a socket, say
    }
    return {};
  }
  if (!S_ISREG(status.st_mode)) {
    device.notes.emplace_back("not a regular file: not read");
    return {};
  }
  return file;
}

// A compressed predecessor cannot be read from its end: it is inflated from its start, a
// piece at a time, and its lines are taken in their order. No stamp after a line is known
// when it is read, so a stamp of the hour that autumn repeats is taken as the latest instant
// not after the file's last write.
struct ForwardReader {
  FileReading &device;
  const Window &window;
  ChartDrawing *chart;
  std::time_t latest;
  StampClock clock{};
  bool haveTime = false;
  bool newestIsLatest = false; // the last believed record read is the newest so far
  bool inWindow = false;       // the last believed record read is in the window
  std::optional<std::time_t> previous{};
  std::size_t notBelieved = 0;

  void operator()(std::string_view line) {
    line = withoutCarriageReturn(line);
    if (!hasTimestamp(line)) {
      device.records += inWindow ? 1 : 0;
      if (newestIsLatest) {
        device.last = lastRecordOf(line);
      }
      return;
    }
    const auto stamp = parseStamp(line);
    const auto instant = stamp ? clock.believedInstant(*stamp, latest, std::nullopt) : std::nullopt;
    if (!instant) {
      ++notBelieved;
      newestIsLatest = false;
      return;
    }
    newestIsLatest = !haveTime || *instant >= device.lastSeen;
    if (newestIsLatest) {
      device.lastSeen = *instant;
      device.last = lastRecordOf(line);
    }
    haveTime = true;
    const bool wasInWindow = inWindow;
    inWindow = *instant >= windowStart(window);
    if (!inWindow) {
      device.needsOlder = false; // the window starts in this file
      return;
    }
    ++device.records;
    if (chart != nullptr) {
      if (wasInWindow && previous && *previous <= *instant) {
        chart->intervals.add(*instant - *previous);
      }
      addToChart(*chart, *instant, fieldsAfterIdentifier(line), window);
    }
    previous = instant;
  }
};

// A compressed file holds no more than this, as far as it is read: a month of a board's
// records is a few MiB, and a small file that inflates without end must not hold the view.
constexpr std::uint64_t longestInflated = std::uint64_t{256} << 20;

struct Inflater {
  z_stream stream{};
  Inflater() {
    // 32 more than the window's bits: a gzip header, as gzip and logrotate write one.
    if (inflateInit2(&stream, 15 + 32) != Z_OK) {
      throw std::system_error(ENOMEM, std::generic_category(), "inflate");
    }
  }
  Inflater(const Inflater &) = delete;
  Inflater &operator=(const Inflater &) = delete;
  ~Inflater() {
    inflateEnd(&stream);
  }
};

// Inflates the open file and hands its complete lines to `reader` in their order.
void eachLineInflated(int fd, ForwardReader &reader, std::vector<std::string> &notes) {
  Inflater inflater;
  z_stream &z = inflater.stream;
  std::string input(chunkSize, '\0');
  std::string output(chunkSize, '\0');
  std::string line; // the part of a line inflated so far
  bool lineTooLong = false;
  std::uint64_t inflated = 0;
  for (int status = Z_OK;;) {
    if (z.avail_in == 0) {
      const auto got = ::read(fd, input.data(), input.size());
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        throw std::system_error(errno, std::generic_category(), "read");
      }
      if (got == 0) {
        if (status != Z_STREAM_END) {
          notes.emplace_back("compressed data cut short");
        }
        break;
      }
      z.next_in = reinterpret_cast<Bytef *>(input.data());
      z.avail_in = static_cast<uInt>(got);
    }
    if (status == Z_STREAM_END) {
      inflateReset(&z); // gzip allows members one after the other
    }
    z.next_out = reinterpret_cast<Bytef *>(output.data());
    z.avail_out = static_cast<uInt>(output.size());
    status = inflate(&z, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      notes.emplace_back("compressed data is damaged: read no further");
      break;
    }
    const std::string_view piece(output.data(), output.size() - z.avail_out);
    inflated += piece.size();
    for (std::size_t start = 0; start < piece.size();) {
      const auto feed = piece.find('\n', start);
      const auto end = feed == std::string_view::npos ? piece.size() : feed;
      if (!lineTooLong) {
        line.append(piece.substr(start, end - start));
      }
      if (line.size() > longestLine) {
        line.clear();
        lineTooLong = true;
      }
      if (feed != std::string_view::npos) {
        if (!lineTooLong) {
          reader(line);
        }
        line.clear();
        lineTooLong = false;
      }
      start = end + 1;
    }
    if (inflated > longestInflated) {
      notes.emplace_back("more than 256 MiB inflated: read no further");
      break;
    }
  }
}

void countCompressed(FileReading &device, const FileDescriptor &file, const struct stat &status,
                     const Window &window, ChartDrawing *chart) {
  device.needsOlder = true;
  ForwardReader reader{device, window, chart, status.st_mtime + clockGrain};
  try {
    eachLineInflated(file.get(), reader, device.notes);
  } catch (const std::system_error &e) {
    noteUnreadable(device, e.code().message());
  }
  if (reader.notBelieved > 0) {
    device.notes.push_back(linesNote(reader.notBelieved, "not believed"));
  }
}

// What one file says: a device file, or a predecessor, compressed or not.
FileReading readOneFile(const FileDescriptor &dir, const std::string &fileName,
                        const Window &window, ChartDrawing *chart, bool compressed) {
  FileReading device;
  struct stat status {};
  const FileDescriptor file = openRegularFile(dir, fileName, device, status);
  if (!file.isOpen()) {
    return device;
  }
  device.writtenNanoseconds =
      std::int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec;
  if (compressed) {
    countCompressed(device, file, status, window, chart);
  } else {
    countTheWindow(device, file, status, window, chart);
  }
  return device;
}

// Adds what an older part of the device's history says to what the newer parts said.
void addOlder(FileReading &device, const std::string &fileName, FileReading older) {
  // An empty device file after a rotation is no oddity.
  device.notes.erase(std::remove(device.notes.begin(), device.notes.end(), "empty file"),
                     device.notes.end());
  device.records += older.records;
  if (device.lastSeen == 0 && older.lastSeen != 0) {
    device.lastSeen = older.lastSeen;
    device.last = std::move(older.last);
  }
  for (const std::string &note : older.notes) {
    device.notes.push_back(printable(fileName) + ": " + note);
  }
  device.needsOlder = older.needsOlder;
  device.predecessorsRead.push_back(fileName);
}

} // namespace

FileReading readDeviceFile(const FileDescriptor &dir, const std::string &fileName,
                           const Window &window, ChartDrawing *chart) {
  return readOneFile(dir, fileName, window, chart, false);
}

FileReading readDeviceFiles(const FileDescriptor &dir, const DeviceFileNames &names,
                            const Window &window, ChartDrawing *chart) {
  FileReading device;
  if (names.current) {
    device = readDeviceFile(dir, names.deviceFile, window, chart);
  } else {
    device.needsOlder = true;
  }
  for (const Predecessor &older : names.predecessors) {
    if (!device.needsOlder) {
      break;
    }
    addOlder(device, older.name, readOneFile(dir, older.name, window, chart, older.compressed));
  }
  return device;
}

FileReading readDeviceFile(const fs::path &path, const Window &window, ChartDrawing *chart) {
  const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const FileDescriptor dir(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return readDeviceFile(dir, path.filename().string(), window, chart);
}
