#pragma once

#include <utility>

#include <unistd.h>

// Owns one open file descriptor and closes it when it goes, on every path.
class FileDescriptor {
public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  FileDescriptor(FileDescriptor &&other) noexcept : fd_(other.release()) {}
  FileDescriptor &operator=(FileDescriptor &&other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~FileDescriptor() {
    reset();
  }

  int get() const {
    return fd_;
  }
  bool isOpen() const {
    return fd_ >= 0;
  }

  // Gives the descriptor up without closing it.
  int release() {
    return std::exchange(fd_, -1);
  }

  // Closes the descriptor now and says whether the close went well: for a file written to,
  // a failed close can mean its data never reached the disk.
  bool close() {
    return fd_ < 0 || ::close(release()) == 0;
  }

private:
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      (void)::close(fd_);
    }
    fd_ = fd;
  }

  int fd_ = -1;
};
