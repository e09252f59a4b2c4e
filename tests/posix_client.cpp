#include "posix_client.hpp"

#include <cerrno>
#include <string>

#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int PosixClient::connect(const char *host, std::uint16_t port) {
  stop();
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (::getaddrinfo(host, std::to_string(port).c_str(), &hints, &found) != 0) {
    return 0;
  }
  for (const addrinfo *address = found; address != nullptr && fd < 0; address = address->ai_next) {
    fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
      stop();
    }
  }
  ::freeaddrinfo(found);
  closedHow = report_collector::Close::unknown;
  return fd >= 0 ? 1 : 0;
}

std::size_t PosixClient::write(const std::uint8_t *bytes, std::size_t size) const {
  std::size_t sent = 0;
  while (fd >= 0 && sent < size) {
    const auto count = ::send(fd, bytes + sent, size - sent, MSG_NOSIGNAL);
    if (count <= 0 && errno != EINTR) {
      break;
    }
    sent += count > 0 ? static_cast<std::size_t>(count) : 0;
  }
  return sent;
}

int PosixClient::available() const {
  int count = 0;
  return fd >= 0 && ::ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

int PosixClient::read() const {
  std::uint8_t byte = 0;
  return fd >= 0 && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 1 ? byte : -1;
}

std::uint8_t PosixClient::connected() {
  // A reset's error goes with the first look: what that look learnt stays.
  if (fd < 0 || closedHow != report_collector::Close::unknown) {
    return 0;
  }
  std::uint8_t byte = 0;
  const auto count = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (count > 0 || (count < 0 && (errno == EAGAIN || errno == EINTR))) {
    return 1;
  }
  closedHow = count == 0            ? report_collector::Close::orderly
              : errno == ECONNRESET ? report_collector::Close::reset
                                    : report_collector::Close::unknown;
  return 0;
}

void PosixClient::stop() {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}
