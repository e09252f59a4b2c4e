#include "send/delivery.hpp"

#include "base/file_descriptor.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or `deadline` passes; says whether it is ready.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      return false;
    }
    pollfd ready{fd, events, 0};
    const int count = ::poll(&ready, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (count > 0) {
      return true;
    }
    if (count < 0 && errno != EINTR) {
      return true; // the call that follows reports the error
    }
  }
}

// The peer threw away the connection: a reset, or a send after one.
bool isReset(int error) {
  return error == ECONNRESET || error == EPIPE || error == ENOTCONN;
}

struct Connection {
  FileDescriptor socket;
  int error = 0; // when not connected: why, ETIMEDOUT when the deadline passed
};

Connection connectTo(const addrinfo &address, Clock::time_point deadline) {
  Connection connection{FileDescriptor(
      ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))};
  const int fd = connection.socket.get();
  if (fd < 0) {
    return {FileDescriptor(), errno};
  }
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
    return {FileDescriptor(), errno};
  }
  if (!waitFor(fd, POLLOUT, deadline)) {
    return {FileDescriptor(), ETIMEDOUT};
  }
  socklen_t length = sizeof connection.error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &connection.error, &length) != 0) {
    connection.error = errno;
  }
  if (connection.error != 0) {
    connection.socket = FileDescriptor();
  }
  return connection;
}

// Sends the report whole, closes the sending side and reads to the end of the stream. Every
// step must go well: a reset reported by send or shutdown is gone by the time recv runs,
// which then sees only the end of the stream.
Attempt exchange(int fd, std::string_view report, Clock::time_point deadline,
                 const std::string &where, std::chrono::milliseconds timeout) {
  const auto failed = [&](int error) {
    if (isReset(error)) {
      return Attempt{false, where + " reset the connection"};
    }
    return Attempt{false, "connection to " + where + " failed: " + std::strerror(error)};
  };
  const auto late = [&] {
    return Attempt{false, "no receipt from " + where + " within " +
                              std::to_string(timeout.count() / 1000) + " s"};
  };
  while (!report.empty()) {
    const auto sent = ::send(fd, report.data(), report.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      report.remove_prefix(static_cast<std::size_t>(sent));
    } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return failed(errno);
    } else if (!waitFor(fd, POLLOUT, deadline)) {
      return late();
    }
  }
  if (::shutdown(fd, SHUT_WR) != 0) {
    return failed(errno);
  }
  char ignored[512]; // the collector answers with nothing but the way it closes
  for (;;) {
    const auto received = ::recv(fd, ignored, sizeof ignored, 0);
    if (received == 0) {
      return {true, where + " closed the connection in order"};
    }
    if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return failed(errno);
    }
    if (received < 0 && !waitFor(fd, POLLIN, deadline)) {
      return late();
    }
  }
}

std::string placeOf(const std::string &host, const std::string &port) {
  return host + " port " + port;
}

} // namespace

Attempt deliverOnce(const Destination &to, std::string_view report,
                    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo *found = nullptr;
  if (const int error = ::getaddrinfo(to.host.c_str(), to.port.c_str(), &hints, &found);
      error != 0) {
    const char *why = error == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(error);
    return {false, "cannot resolve " + to.host + ": " + why};
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  const std::string where = placeOf(to.host, to.port);
  Attempt last{false, "no address for " + to.host};
  // A name may stand for several addresses, IPv6 and IPv4: the first that takes the
  // connection gets the report.
  for (const addrinfo *address = found; address != nullptr; address = address->ai_next) {
    const Connection connection = connectTo(*address, deadline);
    if (connection.socket.isOpen()) {
      return exchange(connection.socket.get(), report, deadline, where, timeout);
    }
    if (connection.error == ETIMEDOUT) {
      return {false, "no connection to " + where + " within " +
                         std::to_string(timeout.count() / 1000) + " s"};
    }
    last = {false, connection.error == ECONNREFUSED
                       ? where + " refused the connection"
                       : "cannot connect to " + where + ": " + std::strerror(connection.error)};
  }
  return last;
}

std::chrono::milliseconds backOff(int failedTries, double fraction) {
  constexpr std::chrono::milliseconds first{1000};
  constexpr std::chrono::milliseconds ceiling{60000};
  auto limit = first;
  for (int doubled = 1; doubled < failedTries && limit < ceiling; ++doubled) {
    limit *= 2;
  }
  limit = std::min(limit, ceiling);
  fraction = std::clamp(fraction, 0.0, 1.0);
  return std::chrono::milliseconds(
      static_cast<std::chrono::milliseconds::rep>(fraction * static_cast<double>(limit.count())));
}

Delivery deliver(const Destination &to, std::string_view report, std::chrono::milliseconds timeout,
                 int tries) {
  std::mt19937 random{std::random_device{}()};
  std::uniform_real_distribution<double> fraction(0.0, 1.0);
  Delivery delivery;
  for (;;) {
    delivery.last = deliverOnce(to, report, timeout);
    ++delivery.tries;
    if (delivery.last.stored || delivery.tries >= tries) {
      return delivery;
    }
    std::this_thread::sleep_for(backOff(delivery.tries, fraction(random)));
  }
}

std::string describe(const Delivery &delivery) {
  std::string line = delivery.last.stored ? "stored: " : "not stored: ";
  line += delivery.last.what;
  if (delivery.tries > 1) {
    line += " (" + std::to_string(delivery.tries) + " tries)";
  }
  return line;
}
