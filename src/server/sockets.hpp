#pragma once

// The collector's socket work, apart from the policy of whom to serve and when: taking a
// peer from the backlog, what to do while the system is short of descriptors, taking what a
// peer has already sent, and ending its connection.

#include "base/file_descriptor.hpp"
#include "server/report.hpp"

#include <asio.hpp>

#include <chrono>
#include <string>
#include <system_error>

#include <sys/socket.h>

using Clock = std::chrono::steady_clock;

// A connection taken from the backlog. It is held as a plain descriptor, registered with the
// reactor only if it must wait: most peers have sent their line by the time they are taken.
struct Peer {
  FileDescriptor socket;
  std::string address;         // as shownAddress writes it
  sockaddr_storage endpoint{}; // the address it connected from
};

// A peer's address as every console line shows it: dotted decimal for IPv4, also for an IPv4
// peer of a listener that takes both (not ::ffff:192.0.2.7), else as inet_ntop writes IPv6.
std::string shownAddress(const sockaddr_storage &address);

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

// Appends to `buffer` what the peer has already sent, without waiting: reads until nothing
// more is waiting, or `buffer` holds `limit` bytes. The error is eof once the peer has
// closed, another error of the read when it failed, and none otherwise.
std::error_code takeWhatHasArrived(int socket, std::string &buffer,
                                   std::size_t limit = maxReportBytes);

// Lets the kernel hold each connection of `acceptor` until its first bytes arrive, for up to
// `window`: a peer that connects and says nothing does not reach the loop before then.
void acceptOnlyOnceDataArrives(asio::ip::tcp::acceptor &acceptor, std::chrono::seconds window);

// Makes every connection of `acceptor` close with a reset unless closeInOrder closes it:
// should the collector die with bytes read but not yet stored, their board must not read
// the end of the stream, its receipt. Accepted connections take the option from the listener.
void resetConnectionsByDefault(asio::ip::tcp::acceptor &acceptor);

// Acknowledges what the peer sends at once, rather than after the kernel's delay: a board
// that waits for our acknowledgement before its next segment would otherwise pause for it.
// The kernel forgets this after a while, so it is asked again before each wait.
void acknowledgeAtOnce(int socket);

// The connection's smoothed round-trip time as the kernel measures it; zero when unknown.
std::chrono::microseconds smoothedRoundTrip(int socket);

// Whether the kernel held the connection for the whole window of acceptOnlyOnceDataArrives:
// it sent its half of the handshake again, as it does while it waits for the first bytes.
// A connection it completed at once, from a SYN cookie after a flood of connections, was not
// held, and its first bytes may still be on their way.
bool heldForTheWholeWindow(int socket);

// How long a peer that has sent whole lines is given to send more before its connection is
// closed in order: about two round trips of its link, long enough for a next segment, but
// never under shortestQuietTime (boards pause between lines to read a sensor) and never
// over longestQuietTime.
constexpr std::chrono::milliseconds shortestQuietTime{50};
constexpr std::chrono::milliseconds longestQuietTime{1000};
Clock::duration quietTimeFor(std::chrono::microseconds roundTrip);

// Whether a peer waits in the backlog of `acceptor`, ready to be taken.
bool peerIsWaiting(asio::ip::tcp::acceptor &acceptor);

// The number of bytes the peer has sent that are waiting to be read.
std::size_t bytesWaiting(int socket);

// Closes the connection abortively: the peer sees a reset, not an orderly end of stream,
// which it may take to mean that its report is stored.
void resetConnection(FileDescriptor &socket);

// Closes the connection in order: the peer reads the end of the stream, its receipt.
void closeInOrder(FileDescriptor &socket);
