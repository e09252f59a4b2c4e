#pragma once

// One peer's connection, from its accept until it is closed: what the peer has sent, where
// its report stands, and what of it, if anything, is lost. The collector decides whom to
// serve and when; a connection knows how to read its peer and how it ends.

#include "server/report.hpp"
#include "server/sockets.hpp"

#include <cstddef>
#include <memory>
#include <vector>

// Where a connection's report stands.
enum class Stage {
  gathering,     // nothing yet, or a line begun: its bytes are awaited until the deadline
  awaitingQuiet, // every whole line is stored; the receipt follows a quiet time without more
  // Our sending side is shut: the board has read that what it sent is stored. Lines that
  // still come are stored, until the board closes its side or the report's time is up.
  receiptGiven,
  closing, // nothing more is read: closed in order, or reset when something is lost
};

// Why something a peer sent is not stored. A connection with a loss is reset.
enum class Loss {
  none,
  unread,         // reading failed, or the peer closed having sent nothing
  unfinishedLine, // a line begun had not ended when the report's time was up
  beyondCap,      // the peer sent more than a report may hold
  notStored,      // a record was refused or could not be written
  stopping,       // a stop came while a line was begun
  evicted,        // its place was needed, and it had sent no whole line for longest
  noProxyHeader,  // a trusted proxy's connection that did not begin with a valid header
};

class Connection {
public:
  // A line that has not arrived within this time after the accept never will; the records
  // of a report are stored within the same time.
  static constexpr auto reportTimeLimit = std::chrono::seconds(10);

  // A connection `fromProxy` must begin with a PROXY protocol header, which names the
  // board whose report follows.
  Connection(Peer peer, Clock::time_point now, bool fromProxy = false);

  // Takes what the peer has sent since, without waiting, and returns the lines it completes,
  // for the caller to store. A read that fails, a line longer than a report may be and bytes
  // beyond a report's limit are told the operator here, and lose the connection.
  Report takeMore(Clock::time_point now);

  // Marks what the peer sent as not all stored, for `why`, unless a loss is marked already.
  void lose(Loss why);

  // Before the connection first waits on the reactor: its quiet time, from its link's round
  // trip, and an acknowledgement of each segment at once, so that a board that waits for it
  // does not pause.
  void prepareToWait();

  // The quiet time after the last whole line has passed: shuts our sending side, which the
  // board reads as the end of the stream, its receipt; not while its records await a sync.
  void giveReceipt();

  // A record it sent went to a file that is held for a sync: until `file` is synced, no
  // receipt and no orderly close.
  void awaitSync(std::shared_ptr<const SyncState> file);

  // Whether records it sent still wait for their sync, before its receipt or orderly close.
  // A record whose sync failed loses the connection.
  bool recordsAwaitSync();

  // The report's time is up: a line begun is lost; nothing more is read.
  void endAtDeadline();

  // What a stop leaves of it: a line begun is lost; whole lines keep their receipt.
  void endAtStop();

  // Writes "Connection from: " and the peer's address before the first line that concerns
  // it, so that each report's lines stand together on the console.
  void announce();

  // When the connection's stage next moves on by time alone.
  Clock::time_point nextDeadline() const;
  Clock::time_point deadline() const {
    return deadline_;
  }
  // Since when it has waited for a whole line: its accept, or its last whole line.
  Clock::time_point waitingSince() const {
    return lastWholeLine_;
  }
  Clock::time_point acceptedAt() const {
    return deadline_ - reportTimeLimit;
  }
  Stage stage() const {
    return stage_;
  }
  Loss loss() const {
    return loss_;
  }
  bool hasSentNothing() const {
    return bytesTaken_ == 0 && header_.empty();
  }
  int socket() const {
    return peer_.socket.get();
  }
  FileDescriptor &descriptor() {
    return peer_.socket;
  }
  // The board's: the peer's own, or the one its proxy's header names.
  const std::string &address() const {
    return peer_.address;
  }
  // Echoes the lines of `report` (the first ones as the report, later ones as more lines of
  // it) and tells what of it no file will hold, which loses the connection.
  void show(const Report &report);

  // Closes the connection: in order when everything its peer sent is stored, which tells the
  // board its report is safe; otherwise with a reset, and the operator is told unless told
  // already. A peer that never said anything is reset too, with nothing to tell: it lost
  // nothing, and bytes it sent later must not find an orderly close.
  void close();

private:
  void failRead(const std::error_code &error);
  bool takeProxyHeader(std::string &fresh, std::error_code &error);
  void refuseProxyHeader(const std::string &problem);
  bool headerBegun() const {
    return awaitingHeader_ && !header_.empty();
  }
  void settle(bool peerClosed, bool tookLines, Clock::time_point now);

  Peer peer_;
  ReportCutter cutter_;
  Stage stage_ = Stage::gathering;
  Loss loss_ = Loss::none;
  Clock::time_point deadline_;      // the report's
  Clock::time_point lastWholeLine_; // or the accept, before the first
  Clock::duration quietTime_{};     // given after the last whole line, before the receipt
  std::size_t bytesTaken_ = 0;      // toward maxReportBytes
  bool echoed_ = false;             // the report's first lines are on the console
  bool announced_ = false;          // "Connection from" is on the console
  bool awaitingHeader_;             // a proxy's, until its PROXY header is taken
  std::string header_;              // what of the PROXY header has come
  bool healthCheck_ = false;        // a proxy's own connection that sent nothing more
  std::vector<std::shared_ptr<const SyncState>> unsynced_; // the files its records went to
};
