// The floor for the collector's job on this machine: the same work with bare system calls.
// Accepts on 0.0.0.0:999, reads to the line feed, stamps with local time, echoes, appends
// the record to log/<identifier without colons>.csv with open/write/close, closes.
//
// With QUIET_MS above 0, it then keeps reading what else the peer sends, until the peer
// closes its side or sends nothing for QUIET_MS, and appends that too before closing: the
// floor for a server that must wait to learn that a board which never half-closes is done.
//
// usage: baseline [QUIET_MS]

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// Reads into `buffer` past `size` until the peer closes its side, sends nothing for
// `quietMs`, or the buffer is full; the new size.
std::size_t readUntilQuiet(int fd, char *buffer, std::size_t size, std::size_t capacity,
                           int quietMs) {
  pollfd peer{fd, POLLIN, 0};
  while (size < capacity) {
    const bool bytesCame = ::poll(&peer, 1, quietMs) > 0;
    const ssize_t count = bytesCame ? ::read(fd, buffer + size, capacity - size) : 0;
    if (count <= 0) {
      break;
    }
    size += static_cast<std::size_t>(count);
  }
  return size;
}

} // namespace

int main(int argc, char **argv) {
  const int quietMs = argc > 1 ? std::atoi(argv[1]) : 0;
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(999);
  if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    return 1;
  }
  ::mkdir("log", 0755);
  static char received[65536], line[65600], path[300];
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) {
      continue;
    }
    std::size_t size = 0;
    char *lineFeed = nullptr;
    while (lineFeed == nullptr && size < sizeof received) {
      const ssize_t count = ::read(fd, received + size, sizeof received - size);
      if (count <= 0) {
        break;
      }
      lineFeed = static_cast<char *>(std::memchr(received + size, '\n', count));
      size += count;
    }
    if (lineFeed != nullptr) {
      const std::time_t now = std::time(nullptr);
      std::tm local{};
      ::localtime_r(&now, &local);
      std::size_t length = std::strftime(line, sizeof line, "%d%m%Y%H%M%S,", &local);
      if (quietMs > 0) {
        size = readUntilQuiet(fd, received, size, sizeof received, quietMs);
      }
      const std::size_t text = quietMs > 0 ? size : lineFeed + 1 - received;
      std::memcpy(line + length, received, text);
      length += text;
      (void)::write(1, line, length);
      const char *identifier = line + 15;
      const char *end = static_cast<const char *>(std::memchr(identifier, ',', text - 1));
      end = end != nullptr ? end : line + length - 1;
      std::size_t p = 4;
      std::memcpy(path, "log/", 4);
      for (const char *c = identifier; c < end && p < 250; ++c) {
        if (*c != ':') {
          path[p++] = *c;
        }
      }
      std::memcpy(path + p, ".csv", 5);
      const int file = ::open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
      if (file >= 0) {
        (void)::write(file, line, length);
        ::close(file);
      }
    }
    ::close(fd);
  }
}
