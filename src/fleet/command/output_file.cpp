#include "fleet/command/output_file.hpp"

#include "base/write_all.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The page is written out in pieces of about this size.
constexpr std::size_t bufferSize = std::size_t{256} * 1024;

// The target's status when it is there; why it may not be replaced, when it is there and is
// not a regular file.
struct TargetState {
  std::optional<struct stat> existing;
  std::string refusal;
};

TargetState stateOf(const FileDescriptor &dir, const std::string &name) {
  struct stat status {};
  if (::fstatat(dir.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return {};
  }
  if (S_ISREG(status.st_mode)) {
    return {status, ""};
  }
  return {std::nullopt, S_ISLNK(status.st_mode) ? "it is a symbolic link: refused"
                                                : "it exists and is not a regular file: refused"};
}

fs::path directoryOf(const fs::path &target) {
  return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

// A hidden name beside the target `name` that no one can foresee.
std::string unforeseeableNameBeside(const std::string &name) {
  static std::mt19937_64 random{std::random_device{}()};
  char suffix[17];
  std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
  return "." + name + "." + suffix;
}

// The file replacing `existing` keeps its mode and, where this user may give it, its owner:
// a page kept from other users stays so.
void keepModeAndOwner(int file, const struct stat &existing) {
  (void)::fchmod(file, existing.st_mode & 07777);
  if (::fchown(file, existing.st_uid, existing.st_gid) != 0) {
    (void)::fchmod(file, existing.st_mode & 0777); // without set-id bits for another owner
  }
}

} // namespace

// A file without a name in the target's directory, so that a run that is killed leaves
// nothing behind; it is given a name only when complete. Where the file system cannot make
// one, a hidden file with a name no one can foresee, made with O_EXCL.
FileDescriptor ReplacementFile::createBesideTarget() {
  FileDescriptor file(::openat(dir_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
  if (file.isOpen() || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
    return file;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = unforeseeableNameBeside(name_);
    file = FileDescriptor(::openat(dir_.get(), name.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (file.isOpen()) {
      temporary_ = name;
      return file;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  return file;
}

// Gives the unnamed file a hidden name beside the target, from which it is renamed.
bool ReplacementFile::nameTheFile() {
  const std::string self = "/proc/self/fd/" + std::to_string(file_.get());
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = unforeseeableNameBeside(name_);
    if (::linkat(AT_FDCWD, self.c_str(), dir_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporary_ = name;
      return true;
    }
    if (errno != EEXIST) {
      break;
    }
  }
  fail(std::strerror(errno));
  return false;
}

ReplacementFile::ReplacementFile(const fs::path &target)
    : dir_(::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      name_(target.filename().string()) {
  if (!dir_.isOpen()) {
    fail(std::strerror(errno));
    return;
  }
  const TargetState state = stateOf(dir_, name_);
  if (!state.refusal.empty()) {
    fail(state.refusal);
    return;
  }
  file_ = createBesideTarget();
  if (!file_.isOpen()) {
    fail(std::strerror(errno));
  } else if (state.existing) {
    keepModeAndOwner(file_.get(), *state.existing);
  }
}

ReplacementFile::~ReplacementFile() {
  file_.close();
  if (!temporary_.empty()) {
    (void)::unlinkat(dir_.get(), temporary_.c_str(), 0);
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
  if (failure_.empty() && temporary_.empty()) {
    nameTheFile();
  }
  if (!file_.isOpen()) {
    return false; // never opened: the failure says why
  }
  if (!file_.close()) {
    fail(std::strerror(errno));
  }
  // The rename replaces whatever is at the target by then without opening it, even a link
  // or a FIFO put there since the start: nothing is written through it.
  if (failure_.empty()) {
    if (::renameat(dir_.get(), temporary_.c_str(), dir_.get(), name_.c_str()) != 0) {
      fail(std::strerror(errno));
    } else {
      temporary_.clear();
    }
  }
  return failure_.empty();
}
