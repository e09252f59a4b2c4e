#pragma once

// The collector's socket work, apart from the policy of whom to serve and when: taking a
// peer from the backlog, what to do while the system is short of descriptors, taking what a
// peer has already sent, and reading on until its line is complete. The loop's owner runs
// the I/O context for the operations started here.

#include "devicelog/file_descriptor.hpp"

#include <asio.hpp>

#include <chrono>
#include <functional>
#include <string>
#include <system_error>

using Clock = std::chrono::steady_clock;

// A report is one short line; anything longer without a line feed is not a board talking.
constexpr std::size_t maxReportBytes = 65536;

// A connection taken from the backlog. It is held as a plain descriptor, not registered with
// the reactor: most peers have sent their line by the time they are taken.
struct Peer {
  FileDescriptor socket;
  std::string address; // dotted decimal
};

// Takes a peer already waiting in the backlog of `acceptor`, which must not block. The
// error is would_block when none waits.
std::error_code acceptWaitingPeer(asio::ip::tcp::acceptor &acceptor, Peer &peer);

// What an accept error means for the next accept.
enum class AcceptFailure {
  // An error that accept passes on from one connection, such as a network that became
  // unreachable while the peer waited in the backlog: the next peer may be taken at once.
  peersOwn,
  // The system is short of descriptors or memory: accepting again at once would fail again.
  resourceShortage,
  // Anything else: the listener itself is broken.
  listener,
};
AcceptFailure acceptFailureOf(const std::error_code &error);

// How long to wait before accepting again while the shortage lasts: retrying at once would
// spin and flood standard error. The wait grows from 10 ms to 1 s.
class AcceptBackoff {
public:
  Clock::duration next();
  void reset() {
    wait_ = Clock::duration::zero();
  }
  // Whether the wait just begun is worth telling the operator: the first, then each longest,
  // about one line a second.
  bool worthSaying() const;

private:
  Clock::duration wait_{};
};

// What the peer has already sent, up to what the first read of a line asks for, without
// waiting: usually the whole line. Empty when nothing is there yet, or the peer has gone.
std::string takeWhatHasArrived(const FileDescriptor &socket);

// Starts reading from `socket` into `buffer`, after what it holds, until it holds a line
// feed; `finished` gets the error of the read, translated: none when a line arrived or the
// peer closed after sending something, message_size when the cap came first.
void startReadingLine(asio::ip::tcp::socket &socket, std::string &buffer,
                      std::function<void(std::error_code)> finished);
