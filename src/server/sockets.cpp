// Socket work for the loop: taking peers, taking what they sent, waiting out a shortage.

#include "server/sockets.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

constexpr auto firstBackoff = std::chrono::milliseconds(10);
constexpr auto longestBackoff = std::chrono::seconds(1);

// As inet_ntop writes it, without the cost of its sprintf on every connection.
std::string dottedDecimal(std::uint32_t value) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    text += std::to_string((value >> shift) & 0xffU);
    text += shift > 0 ? "." : "";
  }
  return text;
}

// A peer that gave up while it waited in the backlog is no failure of the listener, and
// not worth a word.
bool peerGaveUp(int error) {
  return error == ECONNABORTED || error == EPROTO;
}

} // namespace

std::error_code acceptWaitingPeer(asio::ip::tcp::acceptor &acceptor, Peer &peer) {
  for (;;) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = ::accept4(acceptor.native_handle(), reinterpret_cast<sockaddr *>(&address),
                             &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      peer.socket = FileDescriptor(fd);
      peer.address = shownAddress(address);
      peer.endpoint = address;
      return {};
    }
    if (!peerGaveUp(errno)) {
      return {errno, asio::error::get_system_category()};
    }
  }
}

std::string shownAddress(const sockaddr_storage &address) {
  if (address.ss_family == AF_INET) {
    return dottedDecimal(ntohl(reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr));
  }
  const in6_addr &v6 = reinterpret_cast<const sockaddr_in6 &>(address).sin6_addr;
  if (IN6_IS_ADDR_V4MAPPED(&v6)) {
    std::uint32_t v4 = 0;
    std::memcpy(&v4, &v6.s6_addr[12], sizeof v4);
    return dottedDecimal(ntohl(v4));
  }
  char text[INET6_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET6, &v6, text, sizeof text);
  return text;
}

AcceptFailure acceptFailureOf(const std::error_code &error) {
  if (error.category() != asio::error::get_system_category()) {
    return AcceptFailure::listener;
  }
  switch (error.value()) {
  case ENETDOWN:
  case ENOPROTOOPT:
  case EHOSTDOWN:
  case ENONET:
  case EHOSTUNREACH:
  case EOPNOTSUPP:
  case ENETUNREACH:
  case EPERM: // a firewall rule refused the connection
  case EINTR:
    return AcceptFailure::peersOwn;
  case EMFILE:
  case ENFILE:
  case ENOBUFS:
  case ENOMEM:
    return AcceptFailure::resourceShortage;
  default:
    return AcceptFailure::listener;
  }
}

Clock::duration AcceptBackoff::next() {
  wait_ = wait_ == Clock::duration::zero() ? Clock::duration(firstBackoff)
                                           : std::min<Clock::duration>(wait_ * 2, longestBackoff);
  return wait_;
}

bool AcceptBackoff::worthSaying() const {
  return wait_ == firstBackoff || wait_ == longestBackoff;
}

std::error_code takeWhatHasArrived(int socket, std::string &buffer, std::size_t limit) {
  // Most reports fit in one chunk, taken by one read; a read that returns less than it asked
  // for has emptied what was waiting.
  constexpr std::size_t chunkSize = 16384;
  char chunk[chunkSize];
  for (;;) {
    const std::size_t wanted = std::min(chunkSize, limit - std::min(limit, buffer.size()));
    // With no room left, a look at one byte still tells a peer that has closed from one that
    // sends more than it may.
    const auto count = ::recv(socket, chunk, std::max<std::size_t>(wanted, 1),
                              MSG_DONTWAIT | (wanted == 0 ? MSG_PEEK : 0));
    if (wanted == 0 && count > 0) {
      return {};
    }
    if (count == 0) {
      return asio::error::eof;
    }
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN || errno == EWOULDBLOCK
                 ? std::error_code()
                 : std::error_code(errno, asio::error::get_system_category());
    }
    buffer.append(chunk, static_cast<std::size_t>(count));
    if (static_cast<std::size_t>(count) < wanted) {
      return {};
    }
  }
}

std::size_t bytesWaiting(int socket) {
  int count = 0;
  return ::ioctl(socket, FIONREAD, &count) == 0 && count > 0 ? static_cast<std::size_t>(count) : 0;
}

void resetConnection(FileDescriptor &socket) {
  const linger abortive{1, 0};
  (void)::setsockopt(socket.get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  socket.close();
}

void closeInOrder(FileDescriptor &socket) {
  const linger orderly{0, 0};
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_LINGER, &orderly, sizeof orderly) == 0) {
    socket.close();
  } else {
    resetConnection(socket); // what cannot be closed in order must not look stored
  }
}

void acceptOnlyOnceDataArrives(asio::ip::tcp::acceptor &acceptor, std::chrono::seconds window) {
  const int seconds = static_cast<int>(window.count());
  if (::setsockopt(acceptor.native_handle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds,
                   sizeof seconds) != 0) {
    throw std::system_error(errno, asio::error::get_system_category(), "set_option");
  }
}

void resetConnectionsByDefault(asio::ip::tcp::acceptor &acceptor) {
  const linger abortive{1, 0};
  if (::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive) !=
      0) {
    throw std::system_error(errno, asio::error::get_system_category(), "set_option");
  }
}

void acknowledgeAtOnce(int socket) {
  const int on = 1;
  (void)::setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on); // a hint only
}

namespace {

tcp_info connectionInfo(int socket) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
    return tcp_info{};
  }
  return info;
}

} // namespace

std::chrono::microseconds smoothedRoundTrip(int socket) {
  return std::chrono::microseconds(connectionInfo(socket).tcpi_rtt);
}

bool heldForTheWholeWindow(int socket) {
  return connectionInfo(socket).tcpi_total_retrans > 0;
}

Clock::duration quietTimeFor(std::chrono::microseconds roundTrip) {
  return std::clamp<Clock::duration>(2 * roundTrip, shortestQuietTime, longestQuietTime);
}

bool peerIsWaiting(asio::ip::tcp::acceptor &acceptor) {
  pollfd listener{acceptor.native_handle(), POLLIN, 0};
  return ::poll(&listener, 1, 0) > 0 && (listener.revents & POLLIN) != 0;
}
