#pragma once

// The device files: each record appended, in one write, to the file of its device.

#include "base/file_descriptor.hpp"

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

// One line of a report that names a device, in the order the peer sent it.
struct Record {
  std::string macAddress; // the device identifier exactly as sent
  std::string line;       // the whole record, without its line feed
  // Of the device's file in the log directory; empty when the identifier would name a file
  // outside it, and the record is refused.
  std::string fileName;
};

// What the operator is told of a record whose identifier, `macAddress`, is refused, and
// `why`: by default, that it would name a file outside the log directory.
std::string refusalOf(const std::string &macAddress,
                      std::string_view why = "it would name a file outside the log directory");

// Whether what was written to one device file before a sync is on stable storage.
struct SyncState {
  bool done = false;   // the sync has been tried
  bool failed = false; // and it failed: the records may be lost in a power cut
};

// The device files written since the last sync, each held open by the descriptor that
// wrote to it until the sync; the log directory too when a file was made in it. A file
// renamed meanwhile (by logrotate) is synced where it now is, and a failed writeback is
// reported to the descriptor that was open when it happened.
class SyncBatch {
public:
  bool empty() const {
    return held_.empty();
  }
  // Takes `file` in `logDir`, which a record of `recordBytes` just went to; says where to
  // learn whether the sync stored it. Fails the record as lost when the file cannot be
  // looked at or its duplicate not closed.
  std::shared_ptr<const SyncState> hold(FileDescriptor file, const std::string &filePath,
                                        const std::filesystem::path &logDir,
                                        std::size_t recordBytes);
  // Syncs what was written to them, and the entries of the files made, then lets them go.
  // Returns what failed, in the operator's words.
  std::vector<std::string> sync();

private:
  struct Held {
    FileDescriptor file;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    bool directory = false;
    std::size_t directoryIndex = 0; // of its directory, if `made`
    bool made = false;              // new, with an entry in its directory to sync
    std::shared_ptr<SyncState> state;
  };
  static struct stat statusOf(const FileDescriptor &file, const std::string &path);
  // The index of `file` among the held, after taking it unless one held is the same file.
  std::size_t take(FileDescriptor file, const std::string &path, const struct stat &status,
                   bool directory);

  std::vector<Held> held_;
};

// What became of one record. Nothing is printed here: the caller tells the operator and
// decides what the peer is told.
struct Outcome {
  enum class Kind {
    stored,
    refused, // its identifier would name a file outside the log directory
    failed,  // this record was not stored; the next one may be
    // The device file could not be opened for lack of descriptors: trying again once some
    // are free may store it.
    shortOfDescriptors,
  };
  Kind kind = Kind::stored;
  std::string problem; // what went wrong, in the operator's words; empty when stored
  // With a batch: whether its sync has stored the record on stable storage.
  std::shared_ptr<const SyncState> sync;
};

// Makes `logDir`, one level, unless it is there; throws std::filesystem::filesystem_error
// when it cannot be made.
void prepareLogDirectory(const std::filesystem::path &logDir);

// Cuts away, from the end of each device file in `logDir`, the start of a record that a
// crash left without its line feed: a write that the kernel cut short when the collector was
// killed (kill -9 ends a long write between pages). Its board was never told it was stored,
// and sends it again. Returns what was cut, or could not be looked at, in the operator's words.
std::vector<std::string> mendTornRecords(const std::filesystem::path &logDir);

// Appends the line of `record` and a line feed to its device file below `logDir` in one
// write, making `logDir` (one level) again when it has gone. A link in the device file's
// place is not followed. With `batch`, the file stays open in it until its sync.
Outcome appendToDeviceLog(const std::filesystem::path &logDir, const Record &record,
                          SyncBatch *batch = nullptr);
