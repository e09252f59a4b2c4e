// Each record appended to its device's file in one write, and what became of it.

#include "devicelog/devicelog.hpp"

#include "devicelog/file_descriptor.hpp"
#include "devicelog/record_format.hpp"

#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Told to the caller as the outcome of the record in hand.
struct StoreFailure {
  Outcome outcome;
};

[[noreturn]] void fail(Outcome::Kind kind, const std::exception &error) {
  throw StoreFailure{{kind, error.what()}};
}

[[noreturn]] void failRecord(int error, const std::string &what) {
  fail(Outcome::Kind::failed, std::system_error(error, std::generic_category(), what));
}

// Made again whenever it is missing, so that an operator may move the files away at any time.
void ensureLogDirectory(const std::filesystem::path &logDir) {
  std::error_code ec;
  std::filesystem::create_directory(logDir, ec);
  if (ec) {
    fail(Outcome::Kind::noLogDirectory,
         std::filesystem::filesystem_error("create_directory", logDir, ec));
  }
}

FileDescriptor openDeviceFile(const std::filesystem::path &logDir, const std::string &filePath) {
  constexpr int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
  FileDescriptor file(::open(filePath.c_str(), flags, 0644));
  if (!file.isOpen() && (errno == ENOENT || errno == ENOTDIR)) {
    ensureLogDirectory(logDir);
    file = FileDescriptor(::open(filePath.c_str(), flags, 0644));
  }
  if (!file.isOpen()) {
    failRecord(errno, "cannot open " + filePath);
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
void writeRecord(FileDescriptor file, const std::string &filePath, const std::string &recordLine) {
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
  if (!file.close()) {
    failRecord(errno, "record may be lost in " + filePath);
  }
}

// Stores `record` in its file below `logDir`, or refuses it when it names no file there.
Outcome storeRecord(const std::filesystem::path &logDir, const Record &record) {
  if (record.fileName.empty()) {
    return {Outcome::Kind::refused, refusalOf(record.macAddress)};
  }
  const std::string filePath = (logDir / record.fileName).string();
  try {
    writeRecord(openDeviceFile(logDir, filePath), filePath, record.line + '\n');
  } catch (const StoreFailure &failure) {
    return failure.outcome;
  }
  return {};
}

} // namespace

Outcome appendToDeviceLog(const std::filesystem::path &logDir, const std::string &macAddress,
                          const std::string &line) {
  return storeRecord(logDir, {macAddress, line, deviceFileName(macAddress)});
}

std::vector<Outcome> processReport(const Report &report, const std::filesystem::path &logDir) {
  std::vector<Outcome> outcomes;
  for (const Record &record : report.records) {
    outcomes.push_back(storeRecord(logDir, record));
    if (outcomes.back().kind == Outcome::Kind::noLogDirectory) {
      break;
    }
  }
  return outcomes;
}
