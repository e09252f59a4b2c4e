#include "devicelog/devicelog.hpp"

#include "devicelog/record_format.hpp"

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Made again whenever it is missing, so that an operator may move the files away at any time.
void ensureLogDirectory(const std::filesystem::path &logDir) {
  std::error_code ec;
  std::filesystem::create_directory(logDir, ec);
  if (ec) {
    throw std::filesystem::filesystem_error("create_directory", logDir, ec);
  }
}

int openDeviceFile(const std::filesystem::path &logDir, const std::string &filePath) {
  constexpr int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
  int fd = ::open(filePath.c_str(), flags, 0644);
  if (fd < 0 && (errno == ENOENT || errno == ENOTDIR)) {
    ensureLogDirectory(logDir);
    fd = ::open(filePath.c_str(), flags, 0644);
  }
  if (fd < 0) {
    throw std::system_error(errno, std::generic_category(), "cannot open " + filePath);
  }
  return fd;
}

// Takes back the part of a record that a failed write left, so that the next record
// starts on a line of its own.
void cutBack(int fd, std::size_t written) {
  struct stat status {};
  if (written > 0 && ::fstat(fd, &status) == 0) {
    (void)::ftruncate(fd, status.st_size - static_cast<off_t>(written));
  }
}

// One write for the record and its line feed, so that readers and a crash never see half.
void writeRecord(int fd, const std::string &filePath, const std::string &recordLine) {
  std::size_t written = 0;
  while (written < recordLine.size()) {
    const auto count = ::write(fd, recordLine.data() + written, recordLine.size() - written);
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      const int error = count < 0 ? errno : ENOSPC;
      cutBack(fd, written);
      ::close(fd);
      throw std::system_error(error, std::generic_category(), "record not stored in " + filePath);
    }
  }
  if (::close(fd) != 0) {
    throw std::system_error(errno, std::generic_category(), "record may be lost in " + filePath);
  }
}

} // namespace

void appendToDeviceLog(const std::filesystem::path &logDir, const std::string &macAddress,
                       const std::string &line) {
  const std::string fileName = deviceFileName(macAddress);
  if (fileName.empty()) {
    throw std::invalid_argument("refused device identifier \"" + printable(macAddress) +
                                "\": it would name a file outside the log directory");
  }
  const std::string filePath = (logDir / fileName).string();
  writeRecord(openDeviceFile(logDir, filePath), filePath, line + '\n');
}

void processReport(const std::string &pkg, const std::filesystem::path &logDir) {
  std::istringstream iss(pkg);
  std::string line;
  while (std::getline(iss, line)) {
    std::istringstream lineStream(line);
    std::vector<std::string> tokens;
    std::string token;
    while (std::getline(lineStream, token, ',')) {
      tokens.push_back(token);
    }
    if (tokens.size() < 2) {
      continue; // no device identifier: not a record
    }
    const std::string macAddress = tokens[1];
    try {
      appendToDeviceLog(logDir, macAddress, line);
    } catch (const std::filesystem::filesystem_error &) {
      throw; // without a log directory no record can be stored: the collector must stop
    } catch (const std::exception &e) {
      std::cerr << "Exception: " << e.what() << std::endl;
    }
  }
}
