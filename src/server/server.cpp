#include "server/server.hpp"

#include "devicelog/devicelog.hpp"

#include <asio.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <system_error>

#include <sys/socket.h>

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// A line that has not arrived within this time after the accept never will.
constexpr auto readTimeLimit = std::chrono::seconds(10);

// A report is one short line; anything longer without a line feed is not a board talking.
constexpr std::size_t maxReportBytes = 65536;

// Runs handlers on this thread until `done` is set or `deadline` passes, and says whether
// `done` was set. Other pending work, such as a watched signal, never holds us here.
bool runUntil(asio::io_context &io_context, const bool &done, Clock::time_point deadline) {
  io_context.restart();
  while (!done && io_context.run_one_until(deadline) > 0) {
  }
  return done;
}

// Retrying at once while the system is short of descriptors or memory would spin and flood
// standard error; the wait grows from the first to the longest while the shortage lasts.
constexpr auto firstBackoff = std::chrono::milliseconds(10);
constexpr auto longestBackoff = std::chrono::seconds(1);

bool isResourceShortage(const std::error_code &error) {
  if (error.category() != asio::error::get_system_category()) {
    return false;
  }
  const int value = error.value();
  return value == EMFILE || value == ENFILE || value == ENOBUFS || value == ENOMEM;
}

// Waits before the next accept, handling a stop signal meanwhile. Says so when the shortage
// begins and then once for each longest wait: about one line a second.
void backOff(asio::io_context &io_context, Clock::duration &backoff, const std::error_code &error) {
  backoff = backoff == Clock::duration::zero()
                ? Clock::duration(firstBackoff)
                : std::min<Clock::duration>(backoff * 2, longestBackoff);
  if (backoff == firstBackoff || backoff == longestBackoff) {
    // Worded without a virtual call: a sanitizer build checks those with a pipe, which the
    // shortage would deny it.
    std::cerr << "Exception: accept: " << std::strerror(error.value()) << std::endl;
  }
  io_context.restart();
  io_context.run_until(Clock::now() + backoff); // the signal wait keeps it busy till then
}

// Waits until a peer is ready to be taken; the error of that wait, if any.
std::error_code awaitPeer(asio::io_context &io_context, tcp::acceptor &acceptor,
                          tcp::socket &socket, tcp::endpoint &peer) {
  bool done = false;
  std::error_code error;
  acceptor.async_accept(socket, peer, [&](std::error_code ec) {
    error = ec;
    done = true;
  });
  runUntil(io_context, done, Clock::time_point::max());
  return error;
}

// Waits for the next peer and says whether one came. A peer already waiting in the backlog
// is taken at once, without a turn of the reactor. Once a stop is requested, only such
// peers are taken: they have sent their reports and are served before the collector stops.
bool acceptDevice(asio::io_context &io_context, tcp::acceptor &acceptor, tcp::socket &socket,
                  tcp::endpoint &peer, const int &stopSignal, Clock::duration &backoff) {
  for (;;) {
    std::error_code error;
    acceptor.accept(socket, peer, error); // the acceptor does not block
    if (error == asio::error::would_block || error == asio::error::try_again) {
      if (stopSignal != 0) {
        return false;
      }
      error = awaitPeer(io_context, acceptor, socket, peer);
      if (error == asio::error::operation_aborted) {
        continue; // a stop was requested: take what is already waiting
      }
    }
    if (!error) {
      backoff = Clock::duration::zero();
      return true;
    }
    if (!isResourceShortage(error)) {
      throw std::system_error(error, "accept");
    }
    if (stopSignal != 0) {
      return false; // the peers still waiting cannot be taken now
    }
    backOff(io_context, backoff, error);
  }
}

// Usually the whole line is already there when the peer is accepted: one read that does not
// wait then takes it without a turn of the reactor, asking for what the first read of
// read_until would ask for. Nothing there yet, or the peer gone: the caller's wait decides.
void readWhatHasArrived(tcp::socket &socket, std::string &buffer) {
  constexpr std::size_t firstRead = 512;
  buffer.resize(firstRead);
  const auto count = ::recv(socket.native_handle(), buffer.data(), firstRead, MSG_DONTWAIT);
  buffer.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
}

// Reads until a line feed has arrived, or until the peer has closed after sending something.
std::string readReport(asio::io_context &io_context, tcp::socket &socket,
                       Clock::time_point deadline) {
  std::string buffer;
  readWhatHasArrived(socket, buffer);
  if (buffer.find('\n') != std::string::npos) {
    return buffer;
  }
  bool done = false;
  std::error_code error;
  asio::async_read_until(socket, asio::dynamic_buffer(buffer, maxReportBytes), '\n',
                         [&](std::error_code ec, std::size_t) {
                           error = ec;
                           done = true;
                         });
  if (!runUntil(io_context, done, deadline)) {
    socket.close(); // aborts the read; its handler still has to run before `buffer` goes
    runUntil(io_context, done, Clock::time_point::max());
    throw std::system_error(asio::error::timed_out, "read_until");
  }
  if (error == asio::error::not_found) {
    throw std::system_error(asio::error::message_size, "read_until");
  }
  if (error && !(error == asio::error::eof && !buffer.empty())) {
    throw std::system_error(error, "read_until");
  }
  return buffer;
}

// Reads the report of an accepted device and returns it stamped. Failures here belong to
// this one connection and are thrown as system errors.
std::string receiveStampedReport(asio::io_context &io_context, tcp::socket &socket,
                                 const tcp::endpoint &peer) {
  const auto deadline = Clock::now() + readTimeLimit;
  const std::string peerAddress = peer.address().to_string();
  std::cout << "Connection from: " << peerAddress << std::endl;

  const std::string buffer = readReport(io_context, socket, deadline);
  if (const auto fragment = fragmentLength(buffer); fragment > 0) {
    std::cerr << "Exception: dropped " << fragment << " bytes from " << peerAddress
              << " after the last line feed: a line that never fully arrived" << std::endl;
  }
  const std::string data = reportText(buffer);

  std::ostringstream ss;
  ss << formatTimestamp(std::time(nullptr)) << ',' << data;
  return ss.str();
}

// Serves one device; says whether the collector goes on.
bool serveOneDevice(asio::io_context &io_context, tcp::acceptor &acceptor, const int &stopSignal,
                    Clock::duration &acceptBackoff, const std::filesystem::path &logDir) {
  tcp::socket socket(io_context);
  tcp::endpoint peer;
  std::string pkg;
  try {
    if (!acceptDevice(io_context, acceptor, socket, peer, stopSignal, acceptBackoff)) {
      return false;
    }
    pkg = receiveStampedReport(io_context, socket, peer);
  } catch (const std::system_error &e) {
    // One peer's failure ends its own connection, never the collector.
    std::cerr << "Exception: " << e.what() << std::endl;
    return true;
  }
  std::cout << pkg << std::endl;
  processReport(pkg, logDir);
  return true;
} // closing the socket here tells the device its report is stored

const char *signalName(int signalNumber) {
  return signalNumber == SIGINT ? "SIGINT" : "SIGTERM";
}

} // namespace

int runServer(const Options &options) {
  try {
    asio::io_context io_context;
    tcp::acceptor acceptor(io_context,
                           tcp::endpoint(tcp::v4(), static_cast<unsigned short>(options.port)));
    acceptor.non_blocking(true);
    // Watched on the same context, so that a stop lets the report in hand be finished.
    int stopSignal = 0;
    asio::signal_set signals(io_context, SIGINT, SIGTERM);
    signals.async_wait([&](std::error_code ec, int signalNumber) {
      if (!ec) {
        stopSignal = signalNumber;
        acceptor.cancel();
      }
    });
    std::cout << "Server listening on 0.0.0.0 local end port " << options.port << "\n" << std::endl;
    Clock::duration acceptBackoff{};
    while (serveOneDevice(io_context, acceptor, stopSignal, acceptBackoff, options.logDir)) {
    }
    std::cout << "Server stopped on " << signalName(stopSignal) << std::endl;
    return EXIT_SUCCESS;
  } catch (const std::exception &e) {
    std::cerr << "Exception: " << e.what() << std::endl;
    return EXIT_FAILURE;
  }
}
