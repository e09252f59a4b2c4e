#include "fleet/model/fleet.hpp"
#include "fleet/model/device_file.hpp"
#include "fleet/model/rotation.hpp"

#include "base/escaping.hpp"
#include "devicelog/record_format.hpp"

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <unordered_map>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct DirectoryCloser {
  void operator()(DIR *dir) const {
    ::closedir(dir);
  }
};

bool isDirectory(const FileDescriptor &dir, const std::string &name) {
  struct stat status {};
  return ::fstatat(dir.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(status.st_mode);
}

// A name in the log directory that ends as device files do.
struct Entry {
  std::string name;
  bool directory = false;
};

// What the log directory holds: device files, and the rotated parts of device files.
struct Entries {
  std::vector<Entry> deviceFiles;
  // By the device file's name: its rotated parts, with their last writes.
  std::map<std::string, std::vector<std::pair<std::int64_t, Predecessor>>> rotated;
};

std::int64_t modifiedNanoseconds(const FileDescriptor &dir, const std::string &name) {
  struct stat status {};
  return ::fstatat(dir.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
             ? std::int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec
             : 0;
}

// The entries of the directory that end as device files do, and the rotated parts. The kind
// of each comes with its name on most file systems; where it does not, it is asked for.
Entries deviceFileEntries(const FileDescriptor &dir, const fs::path &logDir) {
  FileDescriptor listing(::dup(dir.get()));
  std::unique_ptr<DIR, DirectoryCloser> entries(listing.isOpen() ? ::fdopendir(listing.get())
                                                                 : nullptr);
  if (!entries) {
    throw UnreadableLogDirectory("cannot read", errno, logDir);
  }
  listing.release(); // the listing owns it now
  Entries names;
  for (;;) {
    errno = 0;
    const dirent *entry = ::readdir(entries.get());
    if (entry == nullptr) {
      if (errno != 0) {
        throw UnreadableLogDirectory("cannot read", errno, logDir);
      }
      return names;
    }
    const bool directory =
        entry->d_type == DT_UNKNOWN ? isDirectory(dir, entry->d_name) : entry->d_type == DT_DIR;
    if (auto rotated = rotatedDeviceFile(entry->d_name); rotated && !directory) {
      names.rotated[rotated->deviceFile].push_back(
          {modifiedNanoseconds(dir, entry->d_name), {entry->d_name, rotated->compressed}});
    } else if (!rotated && deviceName(entry->d_name)) {
      names.deviceFiles.push_back({entry->d_name, directory});
    }
  }
}

// The device file `name` and its rotated parts, newest first: the last written first, and
// of two written in the same instant, the one logrotate made later (".1" before ".2").
DeviceFileNames namesOf(const std::string &name, Entries &entries) {
  DeviceFileNames names{name, true, {}};
  const auto found = entries.rotated.find(name);
  if (found == entries.rotated.end()) {
    return names;
  }
  auto &parts = found->second;
  std::sort(parts.begin(), parts.end(), [](const auto &a, const auto &b) {
    return a.first != b.first ? a.first > b.first : a.second.name < b.second.name;
  });
  for (auto &part : parts) {
    names.predecessors.push_back(std::move(part.second));
  }
  entries.rotated.erase(found);
  return names;
}

FileDescriptor openLogDirectory(const fs::path &logDir) {
  FileDescriptor dir(::open(logDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.isOpen()) {
    throw UnreadableLogDirectory("cannot read", errno, logDir);
  }
  // Names that can be listed but not opened would show every device as unreadable: the
  // directory, not the devices, is what is wrong.
  if (::faccessat(dir.get(), ".", X_OK, AT_EACCESS) != 0) {
    throw UnreadableLogDirectory("cannot search", errno, logDir);
  }
  return dir;
}

// Whether `dir` is none of the directories `seen` so far; it is one of them from now on. The
// same directory given twice, or by two names, would count each record twice.
bool isNew(const FileDescriptor &dir, std::vector<std::pair<dev_t, ino_t>> &seen) {
  struct stat status {};
  if (::fstat(dir.get(), &status) != 0) {
    return true;
  }
  const std::pair<dev_t, ino_t> identity{status.st_dev, status.st_ino};
  if (std::find(seen.begin(), seen.end(), identity) != seen.end()) {
    return false;
  }
  seen.push_back(identity);
  return true;
}

// The device files of one log directory, `directory` among those read, and what each says.
void readDirectory(const FileDescriptor &dir, const fs::path &logDir, std::size_t directory,
                   const Window &window, std::vector<DeviceFile> &files,
                   std::vector<std::string> &problems) {
  Entries entries = deviceFileEntries(dir, logDir);
  const auto read = [&](const DeviceFileNames &names) {
    DeviceFile file{names.deviceFile, readDeviceFiles(dir, names, window), directory};
    if (!file.reading.unreadable.empty()) {
      problems.push_back("cannot read " + printable((logDir / names.deviceFile).string()) + ": " +
                         file.reading.unreadable);
    }
    files.push_back(std::move(file));
  };
  for (const Entry &entry : entries.deviceFiles) {
    if (entry.directory) {
      problems.push_back("skipped " + printable((logDir / entry.name).string()) +
                         ": a directory, not a device file");
      continue;
    }
    read(namesOf(entry.name, entries));
  }
  // Rotated without a device file made again: the device goes on in its parts.
  while (!entries.rotated.empty()) {
    DeviceFileNames names = namesOf(entries.rotated.begin()->first, entries);
    names.current = false;
    read(names);
  }
}

// A board's files in one device, whatever their spellings and directories: the newest record
// is its last, the records add up. Of two records stamped in the same second, the one in the
// file written last is the newer.
void addFile(FleetDevice &device, FileAt place, FileReading file, std::int64_t &lastWritten) {
  const std::size_t directory = place.directory;
  device.files.push_back(std::move(place));
  device.records += file.records;
  const bool newer = device.files.size() == 1 || file.lastSeen > device.lastSeen ||
                     (file.lastSeen == device.lastSeen && file.writtenNanoseconds > lastWritten);
  if (newer) {
    lastWritten = file.writtenNanoseconds;
    device.lastSeen = file.lastSeen;
    device.last = std::move(file.last);
  }
  for (std::string &part : file.predecessorsRead) {
    device.predecessorsRead.push_back({directory, std::move(part)});
  }
  for (std::string &note : file.notes) {
    device.notes.push_back(std::move(note));
  }
}

// A listed board as every output shows it: the name of the file its list spelling gives, so
// that it keeps the name its file had before a second spelling came.
std::string listedIdentifier(const Device &listed) {
  const auto fileName = deviceFileName(listed.identifier);
  return fileName.empty() ? printableUtf8(listed.identifier) : shownIdentifier(fileName);
}

// The devices, by the list's section or by file name, and the files the list does not name.
struct Gathering {
  std::vector<FleetDevice> devices;
  std::unordered_map<const Device *, std::size_t> byListed;
  std::unordered_map<std::string, std::size_t> byFileName; // without a list
  std::vector<std::int64_t> lastWritten; // of each device's file with its newest record
  std::vector<std::string> notListed;
};

void gather(Gathering &fleet, const DeviceList *list, DeviceFile file) {
  const std::string &fileName = file.name;
  FileAt place{file.directory, file.name};
  if (list == nullptr) {
    const auto [found, fresh] = fleet.byFileName.emplace(fileName, fleet.devices.size());
    if (fresh) {
      fleet.devices.emplace_back();
      fleet.devices.back().identifier = shownIdentifier(fileName);
      fleet.lastWritten.emplace_back();
    }
    addFile(fleet.devices[found->second], std::move(place), std::move(file.reading),
            fleet.lastWritten[found->second]);
    return;
  }
  const Device *listed = list->find(*deviceName(fileName));
  if (listed == nullptr) {
    fleet.notListed.push_back(shownIdentifier(fileName));
    return;
  }
  const auto [found, fresh] = fleet.byListed.emplace(listed, fleet.devices.size());
  if (fresh) {
    fleet.devices.emplace_back();
    fleet.devices.back().listed = listed;
    fleet.lastWritten.emplace_back();
  }
  addFile(fleet.devices[found->second], std::move(place), std::move(file.reading),
          fleet.lastWritten[found->second]);
}

// The list's boards that no file names: they never reported.
void addTheSilent(Gathering &fleet, const DeviceList &list) {
  for (const Device &listed : list.devices) {
    if (fleet.byListed.count(&listed) == 0) {
      FleetDevice device;
      device.listed = &listed;
      device.neverReported = true;
      fleet.devices.push_back(std::move(device));
    }
  }
}

// What the list says of a device, and the verdict against its own threshold.
void judge(FleetDevice &device, const Window &window) {
  if (device.listed != nullptr) {
    device.identifier = listedIdentifier(*device.listed);
    device.name = device.listed->name;
    // The spellings it sent; one name in several log directories is no oddity.
    std::vector<std::string> names;
    for (const FileAt &file : device.files) {
      names.push_back(file.name);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    if (names.size() > 1) {
      std::string files = "files";
      for (const std::string &fileName : names) {
        files += (files == "files" ? " " : ", ") + printableUtf8(fileName);
      }
      device.notes.push_back(files);
    }
  }
  device.staleSeconds = device.listed != nullptr && device.listed->staleSeconds
                            ? *device.listed->staleSeconds
                            : window.stale.seconds;
  // A clock that was set back makes records from the future: they are fresh.
  const std::int64_t age = std::max<std::int64_t>(window.now - device.lastSeen, 0);
  device.stale = device.neverReported || device.lastSeen == 0 || age >= device.staleSeconds;
}

const FieldName *namedField(const FleetDevice &device, std::size_t field) {
  return device.listed != nullptr && field < device.listed->fields.size()
             ? &device.listed->fields[field]
             : nullptr;
}

// The fields the list names and those with a number in the last record, each judged against
// its ranges; a stale device's last values are judged as well: they are what it last measured.
void workOutFields(FleetDevice &device) {
  if (device.neverReported) {
    return;
  }
  std::size_t count = device.listed != nullptr ? device.listed->fields.size() : 0;
  for (const FieldValue &value : device.last.values) {
    count = std::max(count, value.field + 1);
  }
  auto value = device.last.values.begin();
  for (std::size_t index = 0; index < count; ++index) {
    DeviceField field{index, namedField(device, index), std::nullopt, FieldState::ok};
    if (value != device.last.values.end() && value->field == index) {
      field.last = (value++)->value;
    }
    if (field.named == nullptr && !field.last) {
      continue;
    }
    if (field.ranged()) {
      field.state = stateOf(*field.named, field.last);
    }
    device.fields.push_back(field);
  }
}

DeviceState stateOfDevice(const FleetDevice &device) {
  if (device.stale) {
    return DeviceState::stale;
  }
  DeviceState worst = DeviceState::ok;
  for (const DeviceField &field : device.fields) {
    const DeviceState state = field.state == FieldState::critical  ? DeviceState::critical
                              : field.state == FieldState::unknown ? DeviceState::unknown
                              : field.state == FieldState::warning ? DeviceState::warning
                                                                   : DeviceState::ok;
    worst = std::min(worst, state);
  }
  return worst;
}

bool hasCheckIn(const FleetDevice &device, FieldState state) {
  return std::any_of(device.fields.begin(), device.fields.end(),
                     [&](const DeviceField &field) { return field.state == state; });
}

// The worst first: stale devices, the longest silent first, then critical, unknown and
// warning ones, then the others, each by identifier.
void sortForTheOperator(std::vector<FleetDevice> &devices) {
  std::sort(devices.begin(), devices.end(), [](const FleetDevice &a, const FleetDevice &b) {
    if (a.state != b.state) {
      return a.state < b.state;
    }
    if (a.stale && a.lastSeen != b.lastSeen) {
      return a.lastSeen < b.lastSeen;
    }
    return a.identifier < b.identifier;
  });
}

FleetStatus statusOf(const Fleet &fleet) {
  const auto any = [&](FieldState state) {
    return std::any_of(fleet.devices.begin(), fleet.devices.end(),
                       [&](const FleetDevice &device) { return hasCheckIn(device, state); });
  };
  if (fleet.devices.empty() || fleet.staleDevices == fleet.devices.size() ||
      any(FieldState::critical)) {
    return FleetStatus::critical;
  }
  return fleet.staleDevices > 0 || any(FieldState::warning) || any(FieldState::unknown)
             ? FleetStatus::warning
             : FleetStatus::ok;
}

Fleet judged(Gathering gathering, const Window &window) {
  Fleet fleet;
  fleet.window = window;
  fleet.devices = std::move(gathering.devices);
  for (FleetDevice &device : fleet.devices) {
    judge(device, window);
    workOutFields(device);
    device.state = stateOfDevice(device);
    fleet.staleDevices += device.stale ? 1 : 0;
    fleet.outOfRangeDevices +=
        hasCheckIn(device, FieldState::critical) || hasCheckIn(device, FieldState::warning) ? 1 : 0;
    fleet.ownThresholds =
        fleet.ownThresholds || (device.listed != nullptr && device.listed->staleSeconds);
  }
  sortForTheOperator(fleet.devices);
  fleet.notListed = std::move(gathering.notListed);
  std::sort(fleet.notListed.begin(), fleet.notListed.end());
  fleet.notListed.erase(std::unique(fleet.notListed.begin(), fleet.notListed.end()),
                        fleet.notListed.end());
  fleet.status = statusOf(fleet);
  return fleet;
}

} // namespace

FieldState stateOf(const FieldName &named, std::optional<double> value) {
  if (!value) {
    return FieldState::unknown;
  }
  if (named.crit && alerts(*named.crit, *value)) {
    return FieldState::critical;
  }
  return named.warn && alerts(*named.warn, *value) ? FieldState::warning : FieldState::ok;
}

std::string DeviceField::name() const {
  return named != nullptr ? named->name : "field " + std::to_string(index + firstValueFieldNumber);
}

std::string_view DeviceField::unit() const {
  return named != nullptr ? std::string_view(named->unit) : std::string_view();
}

const AlertRange *DeviceField::warn() const {
  return named != nullptr && named->warn ? &*named->warn : nullptr;
}

const AlertRange *DeviceField::crit() const {
  return named != nullptr && named->crit ? &*named->crit : nullptr;
}

DeviceField fieldOf(const FleetDevice &device, std::size_t index) {
  for (const DeviceField &field : device.fields) {
    if (field.index == index) {
      return field;
    }
  }
  return {index, namedField(device, index), std::nullopt, FieldState::ok};
}

std::string shownIdentifier(const std::string &fileName) {
  const std::string name = deviceName(fileName).value_or(fileName);
  return name.empty() ? emptyIdentifierName : printableUtf8(name);
}

Fleet fleetOf(std::vector<DeviceFile> files, const Window &window, const DeviceList *list) {
  // In the order of their names and directories, so that of two files' records of the same
  // second and the same file time, the same one is the last at every run.
  std::sort(files.begin(), files.end(), [](const DeviceFile &a, const DeviceFile &b) {
    return a.name != b.name ? a.name < b.name : a.directory < b.directory;
  });
  Gathering gathering;
  for (DeviceFile &file : files) {
    gather(gathering, list, std::move(file));
  }
  if (list != nullptr) {
    addTheSilent(gathering, *list);
  }
  return judged(std::move(gathering), window);
}

Fleet readFleet(const std::vector<fs::path> &logDirs, const Window &window,
                const DeviceList *list) {
  // Every directory is opened before any is read: one that cannot be is the failure, before
  // any work is done.
  std::vector<FileDescriptor> dirs;
  dirs.reserve(logDirs.size());
  for (const fs::path &logDir : logDirs) {
    dirs.push_back(openLogDirectory(logDir));
  }
  std::vector<DeviceFile> files;
  std::vector<std::string> problems;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (std::size_t directory = 0; directory < dirs.size(); ++directory) {
    if (isNew(dirs[directory], seen)) {
      readDirectory(dirs[directory], logDirs[directory], directory, window, files, problems);
    }
  }
  Fleet fleet = fleetOf(std::move(files), window, list);
  fleet.problems = std::move(problems);
  return fleet;
}
