#pragma once

// What the fleet view's tests share: the time they run at and records stamped before it,
// directories of their own, a time zone for a while, and a small file system that fills up.

#include "devicelog/record_format.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

namespace fleet_fixture {

inline const std::time_t now = std::time(nullptr);
constexpr std::int64_t day = 86400;

// A record stamped `ago` seconds before now.
inline std::string record(std::int64_t ago, const std::string &rest) {
  return formatTimestamp(now - ago) + "," + rest + "\n";
}

inline std::string times(std::size_t count, const std::string &text) {
  std::string repeated;
  for (std::size_t i = 0; i < count; ++i) {
    repeated += text;
  }
  return repeated;
}

inline void check(bool ok, const char *what) {
  if (!ok) {
    throw std::system_error(errno, std::generic_category(), what);
  }
}

// Says that the file at `path` was last written at `time`, as a board's file would be.
inline void setModified(const std::filesystem::path &path, std::time_t time) {
  const timespec modified[2] = {{time, 0}, {time, 0}};
  check(::utimensat(AT_FDCWD, path.c_str(), modified, AT_SYMLINK_NOFOLLOW) == 0, "utimensat");
}

// A directory of the test's own, gone with all it holds when the test is.
class TempDir {
public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fleet-test-XXXXXX").string();
    check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path &path() const {
    return path_;
  }
  // Writes `contents` to `name` in it; the file was last written `modifiedAgo` seconds ago.
  std::filesystem::path write(const std::string &name, const std::string &contents,
                              std::int64_t modifiedAgo = 0) const {
    std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << contents;
    setModified(file, now - modifiedAgo);
    return file;
  }

private:
  std::filesystem::path path_;
};

// The process's time zone is `zone` while this lives, and what it was after.
class TimeZone {
public:
  explicit TimeZone(const char *zone) {
    if (const char *old = std::getenv("TZ")) {
      previous_ = old;
    }
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

private:
  std::optional<std::string> previous_;
};

// A file system of `size` bytes, such as "64k", on `dir`, for writes that run out of space;
// in a mount namespace of the process's own (which needs root), so that no one else sees it.
class SmallFileSystem {
public:
  SmallFileSystem(std::filesystem::path dir, const std::string &size) : dir_(std::move(dir)) {
    check(::unshare(CLONE_NEWNS) == 0, "unshare(CLONE_NEWNS)");
    check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "mount private");
    std::filesystem::create_directories(dir_);
    check(::mount("tmpfs", dir_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0, "tmpfs");
  }
  ~SmallFileSystem() {
    ::umount(dir_.c_str());
  }

private:
  std::filesystem::path dir_;
};

} // namespace fleet_fixture
