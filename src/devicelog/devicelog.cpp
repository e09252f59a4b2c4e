// Each record appended to its device's file in one write, and what became of it.

#include "devicelog/devicelog.hpp"

#include "base/escaping.hpp"
#include "base/file_descriptor.hpp"
#include "devicelog/record_format.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Told to the caller as the outcome of the record in hand.
struct StoreFailure {
  Outcome outcome;
};

[[noreturn]] void fail(Outcome::Kind kind, std::string problem) {
  throw StoreFailure{{kind, std::move(problem), nullptr}};
}

std::string systemMessage(int error, const std::string &what) {
  return std::system_error(error, std::generic_category(), what).what();
}

[[noreturn]] void failRecord(int error, const std::string &what) {
  fail(Outcome::Kind::failed, systemMessage(error, what));
}

// Made again whenever it is missing, so that an operator may move the files away at any time.
void ensureLogDirectory(const std::filesystem::path &logDir) {
  try {
    prepareLogDirectory(logDir);
  } catch (const std::filesystem::filesystem_error &error) {
    fail(Outcome::Kind::failed, error.what());
  }
}

[[noreturn]] void failToOpen(int error, const std::string &filePath) {
  const std::string what = "cannot open " + filePath;
  if (error == EMFILE || error == ENFILE) {
    fail(Outcome::Kind::shortOfDescriptors, systemMessage(error, what));
  }
  if (error == ELOOP) {
    // Whoever may write to the log directory could otherwise send records anywhere.
    fail(Outcome::Kind::failed, what + ": a symbolic link, which is not followed");
  }
  failRecord(error, what);
}

FileDescriptor openDeviceFile(const std::filesystem::path &logDir, const std::string &filePath) {
  // Not through a link in the device file's place; and a FIFO put there cannot hold the
  // collector in open or write.
  constexpr int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  FileDescriptor file(::open(filePath.c_str(), flags, 0644));
  if (!file.isOpen() && (errno == ENOENT || errno == ENOTDIR)) {
    ensureLogDirectory(logDir);
    file = FileDescriptor(::open(filePath.c_str(), flags, 0644));
  }
  if (!file.isOpen()) {
    failToOpen(errno, filePath);
  }
  return file;
}

// Takes back the part of a record that a failed write left, so that the next record
// starts on a line of its own.
void cutBack(const FileDescriptor &file, std::size_t written) {
  struct stat status {};
  if (written > 0 && ::fstat(file.get(), &status) == 0) {
    (void)::ftruncate(file.get(), status.st_size - static_cast<off_t>(written));
  }
}

// One write for the record and its line feed, so that readers and a crash never see half.
void writeRecord(const FileDescriptor &file, const std::string &filePath,
                 const std::string &recordLine) {
  std::size_t written = 0;
  while (written < recordLine.size()) {
    const auto count =
        ::write(file.get(), recordLine.data() + written, recordLine.size() - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      const int error = count < 0 ? errno : ENOSPC;
      cutBack(file, written);
      failRecord(error, "record not stored in " + filePath);
    }
  }
}

void closeWritten(FileDescriptor &file, const std::string &filePath) {
  if (!file.close()) {
    failRecord(errno, "record may be lost in " + filePath);
  }
}

// Where the last whole line of `file`, `size` bytes long, ends: its length once a torn
// record is cut away. Nothing when it cannot be read, or when no line feed stands within the
// longest line the collector stores, which no crash of the collector can have left.
std::optional<off_t> endOfLastLine(const FileDescriptor &file, off_t size) {
  std::string tail(std::min<std::size_t>(static_cast<std::size_t>(size), longestStoredLine), '\0');
  const off_t from = size - static_cast<off_t>(tail.size());
  if (::pread(file.get(), tail.data(), tail.size(), from) != static_cast<ssize_t>(tail.size())) {
    return std::nullopt;
  }
  const auto lineFeed = tail.rfind('\n');
  if (lineFeed == std::string::npos) {
    return from == 0 ? std::optional<off_t>(0) : std::nullopt;
  }
  return from + static_cast<off_t>(lineFeed) + 1;
}

bool isRegularFile(int directory, const dirent &entry) {
  struct stat status {};
  return entry.d_type == DT_REG ||
         (entry.d_type == DT_UNKNOWN &&
          ::fstatat(directory, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISREG(status.st_mode));
}

// Mends the device file `name` in `directory`; what the operator is told, if anything.
std::optional<std::string> mendTornRecord(int directory, const std::string &name,
                                          const std::string &shownPath) {
  const FileDescriptor file(
      ::openat(directory, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat status {};
  if (!file.isOpen() || ::fstat(file.get(), &status) != 0) {
    return systemMessage(errno, "cannot look for a torn record in " + shownPath);
  }
  char last = '\n';
  if (!S_ISREG(status.st_mode) || status.st_size == 0 ||
      (::pread(file.get(), &last, 1, status.st_size - 1) == 1 && last == '\n')) {
    return std::nullopt;
  }
  const auto end = endOfLastLine(file, status.st_size);
  if (!end || ::ftruncate(file.get(), *end) != 0) {
    return shownPath + " does not end with a line feed, and was left as it is";
  }
  return "cut " + std::to_string(status.st_size - *end) + " bytes from the end of " + shownPath +
         ": the start of a record that a crash left unfinished";
}

} // namespace

std::vector<std::string> mendTornRecords(const std::filesystem::path &logDir) {
  std::vector<std::string> told;
  const FileDescriptor directory(
      ::open(logDir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  DIR *listing = directory.isOpen() ? ::fdopendir(::dup(directory.get())) : nullptr;
  if (listing == nullptr) {
    return {systemMessage(errno, "cannot look for torn records in " + logDir.string())};
  }
  while (const dirent *entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (isRegularFile(directory.get(), *entry) && deviceName(name)) {
      if (auto problem = mendTornRecord(directory.get(), name, (logDir / name).string())) {
        told.push_back(std::move(*problem));
      }
    }
  }
  ::closedir(listing);
  return told;
}

std::string refusalOf(const std::string &macAddress, std::string_view why) {
  return "refused device identifier \"" + printable(macAddress) + "\": " + std::string(why);
}

void prepareLogDirectory(const std::filesystem::path &logDir) {
  std::error_code ec;
  std::filesystem::create_directory(logDir, ec);
  if (ec) {
    throw std::filesystem::filesystem_error("create_directory", logDir, ec);
  }
}

Outcome appendToDeviceLog(const std::filesystem::path &logDir, const Record &record,
                          SyncBatch *batch) {
  if (record.fileName.empty()) {
    return {Outcome::Kind::refused, refusalOf(record.macAddress), nullptr};
  }
  const std::string filePath = (logDir / record.fileName).string();
  Outcome outcome;
  try {
    FileDescriptor file = openDeviceFile(logDir, filePath);
    writeRecord(file, filePath, record.line + '\n');
    if (batch != nullptr) {
      outcome.sync = batch->hold(std::move(file), filePath, logDir, record.line.size() + 1);
    } else {
      closeWritten(file, filePath);
    }
  } catch (const StoreFailure &failure) {
    return failure.outcome;
  }
  return outcome;
}

struct stat SyncBatch::statusOf(const FileDescriptor &file, const std::string &path) {
  struct stat status {};
  if (!file.isOpen() || ::fstat(file.get(), &status) != 0) {
    failRecord(errno, "cannot hold " + path + " until it is synced");
  }
  return status;
}

std::size_t SyncBatch::take(FileDescriptor file, const std::string &path, const struct stat &status,
                            bool directory) {
  // One sync per file however many records went to it: the descriptor held first was open
  // before all of them, and so is told of a failed writeback of any.
  for (std::size_t index = 0; index < held_.size(); ++index) {
    if (held_[index].device == status.st_dev && held_[index].inode == status.st_ino) {
      if (!directory) {
        closeWritten(file, path);
      }
      return index;
    }
  }
  held_.push_back({std::move(file), path, status.st_dev, status.st_ino, directory, 0, false,
                   std::make_shared<SyncState>()});
  return held_.size() - 1;
}

std::shared_ptr<const SyncState> SyncBatch::hold(FileDescriptor file, const std::string &filePath,
                                                 const std::filesystem::path &logDir,
                                                 std::size_t recordBytes) {
  // A file that holds this record alone is new, made now or by logrotate since the last
  // record: its entry in the directory is synced too. Cheaper than asking at the open.
  const struct stat status = statusOf(file, filePath);
  const std::size_t index = take(std::move(file), filePath, status, false);
  if (status.st_size == static_cast<off_t>(recordBytes)) {
    FileDescriptor directory(::open(logDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const struct stat directoryStatus = statusOf(directory, logDir.string());
    const std::size_t directoryIndex =
        take(std::move(directory), logDir.string(), directoryStatus, true);
    held_[index].made = true;
    held_[index].directoryIndex = directoryIndex;
  }
  return held_[index].state;
}

// One device file, with its directory when new, is synced by fdatasync (and fsync): the
// journal commits once, for it alone. Several are synced by one syncfs of their file system:
// each fdatasync of a file appended to waits for a journal commit of its own, one after
// another, while syncfs commits once for them all. Measured on ext4 here, for 16 files
// each with a new record: 2.7 to 6.8 ms for the fdatasyncs, 0.5 ms for syncfs; for one file
// 0.2 to 0.3 ms either way, or 4 ms for syncfs when another program has dirty data. For
// syncfs also writes whatever else is dirty there, and its failure cannot be told from
// ours: it fails every record of the batch on that file system. It reports a failed
// writeback that came after its descriptor was opened (Linux 5.8 and later), and the first
// held of a file system was opened before any record of the batch went there.
std::vector<std::string> SyncBatch::sync() {
  const auto files =
      std::count_if(held_.begin(), held_.end(), [](const Held &held) { return !held.directory; });
  std::vector<std::string> problems;
  for (auto held = held_.begin(); held != held_.end(); ++held) {
    const auto first = std::find_if(
        held_.begin(), held, [&](const Held &other) { return other.device == held->device; });
    if (files > 1 && first != held) {
      held->state->failed = first->state->failed; // synced with it
      continue;
    }
    const int fd = held->file.get();
    // A directory's entries are metadata, which fdatasync may leave out.
    const int result = files > 1 ? ::syncfs(fd) : held->directory ? ::fsync(fd) : ::fdatasync(fd);
    held->state->failed = result != 0;
    if (held->state->failed) {
      problems.push_back(systemMessage(
          errno, files > 1 ? "records not synced to disk on the file system of " + held->path
                           : "records not synced to disk in " + held->path));
    }
  }
  for (Held &held : held_) {
    held.state->failed =
        held.state->failed || (held.made && held_[held.directoryIndex].state->failed);
    held.state->done = true;
  }
  held_.clear();
  return problems;
}
