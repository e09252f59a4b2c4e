#include "cli/standard_streams.hpp"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

void claimStandardStreams(int outputMode) {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      const int mode = fd == STDIN_FILENO ? O_RDONLY : fd == STDOUT_FILENO ? outputMode : O_WRONLY;
      (void)::open("/dev/null", mode); // takes the lowest free number, which is this one
    }
  }
}
