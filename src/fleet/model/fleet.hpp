#pragma once

// The fleet's facts, as the device files and the device list tell them: which devices there
// are, what each sent in the window the operator looks at, when it was last heard from and
// whether that is too long ago. Worked out once here; the table, the page and the metrics only
// show them.

#include "fleet/model/numbers.hpp"

#include "devices/device_list.hpp"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

// A length of time as the operator gave it: its seconds to count with, and its text, such as
// "24h", to say it back to the operator in the same words.
struct Duration {
  std::int64_t seconds = 0;
  std::string text;
};

inline const Duration defaultSince{std::int64_t{24} * 3600, "24h"};
inline const Duration defaultStale{3600, "1h"};

// What the view looks at: records since `now - since`; silent for `stale` means stale, for
// a device the list gives no threshold of its own.
struct Window {
  std::time_t now = 0;
  Duration since = defaultSince;
  Duration stale = defaultStale;
};

// The earliest time that a record in the window may carry.
inline std::time_t windowStart(const Window &window) {
  return window.now - window.since.seconds;
}

// The last record believed, after its identifier: its text cut to what the operator is shown,
// and its numeric fields, read from the whole of it.
struct LastRecord {
  std::string text;
  std::size_t length = 0; // before it was cut
  std::vector<FieldValue> values;
};

// The last record's text is kept to this many bytes: enough to recognise it, however long the
// line a peer sent.
constexpr std::size_t lastRecordKept = 256;

// How a field's last value stands against its ranges from the device list, in the words of
// monitoring plugins.
enum class FieldState { ok, warning, critical, unknown };

// A value field of a device, as every output tells it, worked out once here: the list's name,
// unit and ranges for it, its last value and how that stands.
struct DeviceField {
  std::size_t index = 0;             // 0 for the first after the identifier
  const FieldName *named = nullptr;  // the list's; nullptr when the list names no such field
  std::optional<double> last;        // in the last record; nothing when no number is there
  FieldState state = FieldState::ok; // against its ranges; ok without one

  // Its name from the list, else its number as the operator counts fields: "field 3".
  std::string name() const;
  // Its unit from the list; "" when none is given.
  std::string_view unit() const;
  // Its ranges from the list; nullptr when none is set.
  const AlertRange *warn() const;
  const AlertRange *crit() const;
  // Whether the list gives it a warning or a critical range, against which it is judged.
  bool ranged() const {
    return warn() != nullptr || crit() != nullptr;
  }
};

// The device's state, worst first: silent for its threshold; a value in its critical range;
// one that is no number where a range is set; one in its warning range; none of these.
enum class DeviceState { stale, critical, unknown, warning, ok };

// A file of a device: its name in the log directory `directory`, by the place of that
// directory among those read.
struct FileAt {
  std::size_t directory = 0;
  std::string name;
  bool operator==(const FileAt &other) const {
    return directory == other.directory && name == other.name;
  }
};

// One device of the fleet. With a device list, a listed board, whose files are all the
// spellings of its identifier that were sent; without one, a device file name. Either way,
// its files in every log directory read: each collector of a site keeps its own.
struct FleetDevice {
  // The identifier as every output shows it, safe to show: the file's name without its
  // suffix, or for a listed board, the name of the file its list spelling gives.
  std::string identifier;
  const Device *listed = nullptr;       // its section of the list; nullptr without a list
  std::string name;                     // from the list; empty when none is given
  std::vector<FileAt> files;            // none when it never reported
  std::vector<FileAt> predecessorsRead; // rotated parts read for the window or last seen
  std::size_t records = 0;              // in the window, lines without a time stamp included
  std::time_t lastSeen = 0;             // the newest believed stamp; 0 when no record says
  LastRecord last;
  std::vector<std::string> notes; // what was odd about its files
  std::int64_t staleSeconds = 0;  // its own threshold from the list, else the window's
  bool stale = false;             // silent for its threshold, or never reported
  bool neverReported = false;     // a listed board with no file
  // The fields the list names and those with a number in the last record, by index; none for
  // a board that never reported.
  std::vector<DeviceField> fields;
  DeviceState state = DeviceState::ok;
};

// The device's field `index`: as its fields hold it, or for a field they lack (one a chart
// finds in older records), what the list says of it.
DeviceField fieldOf(const FleetDevice &device, std::size_t index);

// How `value` stands against `named`'s ranges; nothing is no number.
FieldState stateOf(const FieldName &named, std::optional<double> value);

// The exit status in the manner of monitoring plugins, which read 0 as OK, 1 as WARNING,
// 2 as CRITICAL and 3 as UNKNOWN: 2 when a value is critical or every device is stale (or
// there is none), 1 when a value is in its warning range or no number where a range is set,
// or some device is stale, 0 otherwise.
enum class FleetStatus {
  ok = 0,
  warning = 1,
  critical = 2,
  // A log directory or the device list cannot be read, an output not written, or the
  // command line is wrong.
  unknown = 3,
};

struct Fleet {
  Window window;
  std::vector<FleetDevice> devices; // stale first, the longest silent first, then by identifier
  std::size_t staleDevices = 0;
  std::size_t outOfRangeDevices = 0;  // with a field in its warning or critical range
  bool ownThresholds = false;         // some device has a stale threshold of its own
  std::vector<std::string> notListed; // identifiers of files the list does not name, sorted
  std::vector<std::string> problems;  // what could not be read, for standard error
  FleetStatus status = FleetStatus::critical;
};

// What one device file says about its device, read from its end back to the start of the
// window, and on into its rotated predecessors where the window or the last record reaches
// past it. An empty file, or a file's time, says nothing: only records do.
struct FileReading {
  std::size_t records = 0;             // in the window, lines without a time stamp included
  std::time_t lastSeen = 0;            // the newest believed stamp; 0 when no record has one
  std::int64_t writtenNanoseconds = 0; // the file's last modification, to order equal stamps
  LastRecord last;
  std::vector<std::string> notes; // what was odd about the file
  std::string unreadable;         // why it could not be read; empty when it could
  bool needsOlder = false;        // what was read ends after the window's start, or holds no record
  std::vector<std::string> predecessorsRead; // the rotated parts read, newest first
};

// A device file of a log directory and what it says.
struct DeviceFile {
  std::string name; // in the log directory; perhaps only its rotated parts are there
  FileReading reading;
  std::size_t directory = 0; // the log directory's place among those read
};

// The fleet that `files` make for `window`: with a device list, one device per listed board,
// whose files are the spellings of its identifier, and the other files apart; without one,
// a device per file name. The files of one name or one board in several log directories are
// one device. Each device judged against its own threshold, in the operator's order.
Fleet fleetOf(std::vector<DeviceFile> files, const Window &window,
              const DeviceList *list = nullptr);

// A log directory cannot be listed or searched: the view cannot tell about any device. With
// several directories, one that cannot be read is as much a failure as a single one: a view
// of the others would show its boards stale, or not at all, and call the fleet well.
class UnreadableLogDirectory : public std::system_error {
public:
  UnreadableLogDirectory(std::string action, int error, std::filesystem::path directory)
      : std::system_error(error, std::generic_category(), action), action_(std::move(action)),
        directory_(std::move(directory)) {}
  const std::string &action() const {
    return action_;
  }
  const std::filesystem::path &directory() const {
    return directory_;
  }

private:
  std::string action_; // "cannot read", "cannot search"
  std::filesystem::path directory_;
};

// The fleet in `logDirs` for `window`, with `list` when there is one: the files of a device
// in all of them, as one. Each file is read from its end back to the start of the window; a
// file that cannot be read is a note on its row and a problem of the fleet. A directory given
// twice, by any name, is read once. Throws UnreadableLogDirectory.
Fleet readFleet(const std::vector<std::filesystem::path> &logDirs, const Window &window,
                const DeviceList *list = nullptr);

// The identifier every output shows for a device file named `fileName`. The empty
// identifier's file, ".csv", gets a name with a slash, which no file name can hold.
std::string shownIdentifier(const std::string &fileName);
inline const std::string emptyIdentifierName = "(empty)/";
