#include "base/write_all.hpp"

#include <cerrno>

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
