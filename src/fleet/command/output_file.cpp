#include "fleet/command/output_file.hpp"

#include "base/write_all.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The page is written out in pieces of about this size.
constexpr std::size_t bufferSize = std::size_t{256} * 1024;

// Why `target` may not be replaced, or "" when it may: it is a regular file or not there.
std::string refusalOf(const fs::path &target) {
  struct stat status {};
  if (::lstat(target.c_str(), &status) != 0 || S_ISREG(status.st_mode)) {
    return "";
  }
  return S_ISLNK(status.st_mode) ? "it is a symbolic link: refused"
                                 : "it exists and is not a regular file: refused";
}

// A new file beside `target`, hidden by its leading dot, with a name no one can foresee, and
// readable as the umask allows, as the file it replaces would be.
FileDescriptor createTemporaryBeside(const fs::path &target, fs::path &temporary) {
  std::string name =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  FileDescriptor file(::mkostemp(name.data(), O_CLOEXEC));
  if (!file.isOpen()) {
    return file;
  }
  temporary = name;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(file.get(), 0666 & ~mask) != 0) {
    return FileDescriptor(-1);
  }
  return file;
}

} // namespace

ReplacementFile::ReplacementFile(fs::path target) : target_(std::move(target)) {
  if (const std::string refusal = refusalOf(target_); !refusal.empty()) {
    fail(refusal);
    return;
  }
  file_ = createTemporaryBeside(target_, temporary_);
  if (!file_.isOpen()) {
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

std::streamsize ReplacementFile::xsputn(const char *text, std::streamsize count) {
  buffer_.append(text, static_cast<std::size_t>(count));
  if (buffer_.size() >= bufferSize) {
    flush();
  }
  return count;
}

ReplacementFile::int_type ReplacementFile::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
  }
  return traits_type::not_eof(c);
}

bool ReplacementFile::commit() {
  flush();
  if (failure_.empty() && ::fsync(file_.get()) != 0) {
    fail(std::strerror(errno)); // the disk filled while the data went out, or it failed
  }
  if (!file_.close()) {
    fail(std::strerror(errno));
  }
  // The rename replaces whatever is at the target by then without opening it, even a link
  // or a FIFO put there since the start: nothing is written through it.
  if (failure_.empty()) {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
      fail(std::strerror(errno));
    } else {
      temporary_.clear();
    }
  }
  return failure_.empty();
}
