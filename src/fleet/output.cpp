#include "fleet/output.hpp"

#include "cli/standard_streams.hpp"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The page is written out in pieces of about this size.
constexpr std::size_t bufferSize = std::size_t{256} * 1024;

bool existsAsOtherThanRegularFile(const fs::path &path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode);
}

// A new file beside `target`, hidden by its leading dot, readable as the umask allows, as the
// page itself would be.
FileDescriptor createTemporaryBeside(const fs::path &target, fs::path &temporary) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporary = target.parent_path() /
                ("." + target.filename().string() + "." + std::to_string(::getpid()) + "." +
                 std::to_string(attempt) + ".tmp");
    FileDescriptor file(
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.isOpen() || errno != EEXIST) {
      return file;
    }
  }
  return FileDescriptor(-1);
}

} // namespace

ReplacementFile::ReplacementFile(fs::path target) : target_(std::move(target)) {
  if (existsAsOtherThanRegularFile(target_)) {
    file_ = FileDescriptor(::open(target_.c_str(), O_WRONLY | O_CLOEXEC));
  } else {
    file_ = createTemporaryBeside(target_, temporary_);
  }
  if (!file_.isOpen()) {
    temporary_.clear();
    fail(std::strerror(errno));
  }
}

ReplacementFile::~ReplacementFile() {
  file_.close();
  if (!temporary_.empty()) {
    (void)::unlink(temporary_.c_str());
  }
}

void ReplacementFile::fail(const std::string &reason) {
  if (failure_.empty()) {
    failure_ = reason;
  }
}

void ReplacementFile::flush() {
  if (failure_.empty()) {
    if (const int error = writeAll(file_.get(), buffer_); error != 0) {
      fail(std::strerror(error));
    }
  }
  buffer_.clear();
}

void ReplacementFile::write(std::string_view text) {
  buffer_ += text;
  if (buffer_.size() >= bufferSize) {
    flush();
  }
}

bool ReplacementFile::commit() {
  flush();
  if (failure_.empty() && !temporary_.empty() && ::fsync(file_.get()) != 0) {
    fail(std::strerror(errno)); // the disk filled while the data went out, or it failed
  }
  if (!file_.close()) {
    fail(std::strerror(errno));
  }
  if (failure_.empty() && !temporary_.empty()) {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
      fail(std::strerror(errno));
    } else {
      temporary_.clear();
    }
  }
  return failure_.empty();
}
