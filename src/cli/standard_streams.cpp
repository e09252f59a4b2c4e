#include "cli/standard_streams.hpp"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

int writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const auto written = ::write(fd, text.data(), text.size());
    if (written > 0) {
      text.remove_prefix(static_cast<std::size_t>(written));
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable{fd, POLLOUT, 0};
      (void)::poll(&writable, 1, -1);
    } else if (!(written < 0 && errno == EINTR)) {
      return written < 0 ? errno : EIO;
    }
  }
  return 0;
}

void claimStandardStreams(int outputMode) {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int mode = fd == STDIN_FILENO ? O_RDONLY : fd == STDOUT_FILENO ? outputMode : O_WRONLY;
      (void)::open("/dev/null", mode); // takes the lowest free number, which is this one
    }
  }
}
