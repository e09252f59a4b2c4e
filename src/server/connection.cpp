// One peer's connection: reading it, counting what it sent, and how it ends.

#include "server/connection.hpp"

#include "server/console.hpp"
#include "server/proxy_header.hpp"

#include <ctime>

namespace {

// What a peer that a stop leaves with a line begun is told of, as a read cut short.
constexpr const char *stoppingProblem = "read_until: stopping: Operation aborted.";

// Whether the operator has been told of `loss` where it happened, or in a count, so that
// the reset needs no line of its own.
bool toldWhereItHappened(Loss loss) {
  return loss == Loss::unread || loss == Loss::stopping || loss == Loss::evicted ||
         loss == Loss::noProxyHeader;
}

} // namespace

Connection::Connection(Peer peer, Clock::time_point now, bool fromProxy)
    : peer_(std::move(peer)), deadline_(now + reportTimeLimit), lastWholeLine_(now),
      awaitingHeader_(fromProxy) {}

Report Connection::takeMore(Clock::time_point now) {
  if (stage_ == Stage::closing) {
    return {}; // after a failed read the kernel may say "end of file": it is not the peer's end
  }
  std::string fresh;
  std::error_code error;
  if (!awaitingHeader_) {
    error = takeWhatHasArrived(socket(), fresh, maxReportBytes - bytesTaken_);
  } else if (!takeProxyHeader(fresh, error)) {
    return {};
  }
  bytesTaken_ += fresh.size();
  const bool peerClosed = error == asio::error::eof;
  if (error == asio::error::connection_reset && stage_ == Stage::receiptGiven && fresh.empty() &&
      !cutter_.midLine()) {
    stage_ = Stage::closing; // a board may abort its connection once it has read its receipt
    return {};
  }
  if (peerClosed && bytesTaken_ == 0) {
    failRead(error);
    return {};
  }
  // Whole lines that came before a failed read are stored; a line begun is not.
  Report report = cutter_.take(fresh, std::time(nullptr), peerClosed);
  if (error && !peerClosed) {
    failRead(error);
    return report;
  }
  if (bytesTaken_ == maxReportBytes && !peerClosed) {
    if (cutter_.partialLineBytes() == bytesTaken_) {
      failRead(asio::error::message_size); // one line, longer than a report may be
    } else if (const std::size_t beyond = bytesWaiting(socket())) {
      announce();
      console::droppedBeyondCap(beyond, address());
      lose(Loss::beyondCap);
    }
  }
  if (stage_ != Stage::closing) {
    settle(peerClosed, !report.pkg.empty(), now);
  }
  return report;
}

// Takes what has come of a proxy's PROXY header, and puts in `fresh` what followed it, with
// what has come since. Says whether a report may follow: not while the header is incomplete,
// nor once it proved invalid, nor after the proxy's own header with nothing behind it, such
// as its health check, which is closed in order with nothing stored. Bytes that do follow
// a header of the proxy's own are a report of the proxy's own address.
bool Connection::takeProxyHeader(std::string &fresh, std::error_code &error) {
  error = takeWhatHasArrived(socket(), header_, longestProxyHeader);
  const ProxyHeader header = readProxyHeader(header_);
  if (header.kind == ProxyHeader::Kind::invalid) {
    refuseProxyHeader(header.problem);
    return false;
  }
  if (header.kind == ProxyHeader::Kind::incomplete) {
    if (error == asio::error::eof && !header_.empty()) {
      refuseProxyHeader("its PROXY header cut short after " + std::to_string(header_.size()) +
                        " bytes");
    } else if (error) {
      failRead(error);
    }
    return false;
  }
  awaitingHeader_ = false;
  fresh = header_.substr(header.length);
  header_ = std::string();
  if (header.kind == ProxyHeader::Kind::proxied) {
    peer_.address = shownAddress(header.source);
  } else if (fresh.empty()) {
    healthCheck_ = true;
    stage_ = Stage::closing;
    return false;
  }
  if (!error) {
    error = takeWhatHasArrived(socket(), fresh, maxReportBytes);
  }
  return true;
}

void Connection::refuseProxyHeader(const std::string &problem) {
  announce();
  console::proxyHeaderRefused(address(), problem);
  lose(Loss::noProxyHeader);
}

// Where the report stands once new bytes are taken.
void Connection::settle(bool peerClosed, bool tookLines, Clock::time_point now) {
  if (peerClosed) {
    stage_ = Stage::closing;
  } else if (stage_ == Stage::receiptGiven) {
    return; // lines that still come are stored; a line begun is lost at the deadline
  } else if (cutter_.midLine() || bytesTaken_ == 0) {
    stage_ = Stage::gathering;
  } else if (tookLines) {
    stage_ = Stage::awaitingQuiet;
    lastWholeLine_ = now;
  }
}

void Connection::show(const Report &report) {
  if (!report.pkg.empty()) {
    announce();
    if (echoed_) {
      console::laterLines(address(), report.pkg);
    } else {
      console::echo(report.pkg);
    }
    echoed_ = true;
  }
  if (report.linesWithoutDevice > 0) {
    announce();
    console::linesWithoutDevice(report.linesWithoutDevice, address());
    lose(Loss::notStored);
  }
  if (report.bytesAfterNul > 0) {
    announce();
    console::bytesAfterNul(report.bytesAfterNul, address());
    lose(Loss::notStored);
  }
}

void Connection::lose(Loss why) {
  if (loss_ == Loss::none) {
    loss_ = why;
  }
  stage_ = Stage::closing;
}

// Reading from the peer failed with `error`: that line is all the operator is told.
void Connection::failRead(const std::error_code &error) {
  announce();
  console::exception(std::system_error(error, "read_until").what());
  lose(Loss::unread);
}

void Connection::prepareToWait() {
  if (quietTime_ == Clock::duration::zero()) {
    quietTime_ =
        quietTimeFor(smoothedRoundTrip(socket())); // a link does not change within a report
  }
  acknowledgeAtOnce(socket());
}

void Connection::giveReceipt() {
  if (recordsAwaitSync() || stage_ == Stage::closing) {
    return; // not yet on stable storage, or never: a failed sync lost it
  }
  // A peer that reset its connection meanwhile has nothing to read: its lines are stored.
  stage_ = ::shutdown(socket(), SHUT_WR) == 0 ? Stage::receiptGiven : Stage::closing;
}

void Connection::awaitSync(std::shared_ptr<const SyncState> file) {
  if (unsynced_.empty() || unsynced_.back() != file) {
    unsynced_.push_back(std::move(file)); // the lines of a report mostly go to one file
  }
}

bool Connection::recordsAwaitSync() {
  for (auto it = unsynced_.begin(); it != unsynced_.end();) {
    if (!(*it)->done) {
      ++it;
    } else {
      if ((*it)->failed) {
        lose(Loss::notStored);
      }
      it = unsynced_.erase(it);
    }
  }
  return loss_ == Loss::none && !unsynced_.empty();
}

void Connection::endAtDeadline() {
  if (headerBegun()) {
    refuseProxyHeader("its PROXY header cut short after " + std::to_string(header_.size()) +
                      " bytes");
  } else if (cutter_.midLine()) {
    announce();
    console::droppedFragment(cutter_.partialLineBytes(), address());
    lose(Loss::unfinishedLine);
  }
  stage_ = Stage::closing;
}

void Connection::endAtStop() {
  if (cutter_.midLine() || headerBegun()) {
    announce();
    console::exception(stoppingProblem);
    lose(Loss::stopping);
  }
  stage_ = Stage::closing;
}

void Connection::announce() {
  if (!announced_) {
    console::connection(address());
    announced_ = true;
  }
}

Clock::time_point Connection::nextDeadline() const {
  switch (stage_) {
  case Stage::awaitingQuiet:
    return std::min(deadline_, lastWholeLine_ + quietTime_);
  case Stage::closing:
    return Clock::time_point::min();
  default:
    return deadline_;
  }
}

void Connection::close() {
  if (recordsAwaitSync()) {
    lose(Loss::notStored); // never an orderly close before the sync
  }
  if (loss_ != Loss::none) {
    if (!toldWhereItHappened(loss_)) {
      announce();
      console::peerReset(address());
    }
    resetConnection(peer_.socket);
  } else if (bytesTaken_ == 0 && !healthCheck_) {
    resetConnection(peer_.socket);
  } else {
    closeInOrder(peer_.socket);
  }
}
