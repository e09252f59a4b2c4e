// The collector's loop: whom to serve, when to stop, and what to tell the operator.

#include "server/server.hpp"

#include "devicelog/devicelog.hpp"
#include "devices/device_list.hpp"
#include "server/admission.hpp"
#include "server/console.hpp"
#include "server/reactor.hpp"
#include "server/sockets.hpp"
#include "server/turns.hpp"

#include <asio.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <optional>
#include <string>
#include <utility>

using asio::ip::tcp;

namespace {

// A line that has not arrived within this time after the accept never will; the records of
// a report are stored within the same time.
constexpr auto reportTimeLimit = std::chrono::seconds(10);

// After a stop signal, the report in hand and the reports already waiting are stored within
// this time; then the collector ends, whatever peers do.
constexpr auto stopTimeLimit = std::chrono::seconds(10);

// The kernel holds a connection until its first bytes arrive, for up to this long: a port
// scanner's probe that waits for a banner never reaches the loop before then.
constexpr auto silenceWindow = std::chrono::seconds(5);

// A peer that stalls in the middle of a line while others wait is given up after this long,
// or after two of its quiet times on a slow link.
constexpr auto shortestStall = std::chrono::milliseconds(250);

// Connections that wait on the reactor to be closed, at most: each holds a descriptor.
constexpr std::size_t maxWaitingToClose = 256;

// While all those places are taken, a connection that still sends lines this long after its
// connect is cut.
constexpr auto longestHold = std::chrono::seconds(2);

// What a peer that a stop leaves unserved is told of, as a read cut short.
constexpr const char *stoppingProblem = "read_until: stopping: Operation aborted.";

// One peer's connection while its report is read and stored.
struct Connection {
  Peer peer;
  ReportCutter cutter;
  Clock::time_point deadline;  // the report's
  Clock::time_point lastBytes; // when the peer last sent something
  Clock::duration quietTime{}; // given after its last whole line, before an orderly close
  // Since when others wait behind it while its line holds the loop; max() while none do.
  Clock::time_point othersWaitSince = Clock::time_point::max();
  std::size_t bytesTaken = 0; // toward maxReportBytes
  bool peerClosed = false;
  bool echoed = false;    // the report's first lines are on the console
  bool lost = false;      // something it sent is not stored: its connection is reset
  bool resetSaid = false; // the operator has been told why it is reset
};

// A connection whose report is stored as far as it has come, waiting on the reactor for
// more or for its quiet time to pass, while the loop serves the next peer.
struct WaitingToClose {
  WaitingToClose(asio::io_context &context, Connection waiting) : connection(std::move(waiting)) {
    lent.emplace(context, connection.peer.socket);
  }
  Connection connection;
  std::optional<LentSocket> lent;
  ReadWait wait;
};

// The listener: on every IPv4 interface by default, else on the address the operator gave.
// On "::" it takes IPv6 and IPv4 at once, whatever the system's default for that. An address
// that is malformed, not this machine's, or of a switched-off IPv6 is an exception.
tcp::acceptor openListener(asio::io_context &context, const Options &options) {
  const auto port = static_cast<unsigned short>(options.port);
  tcp::endpoint endpoint(tcp::v4(), port);
  if (options.listen) {
    std::error_code error;
    const asio::ip::address address = asio::ip::make_address(*options.listen, error);
    if (error) {
      throw std::runtime_error("invalid listen address '" + *options.listen +
                               "': neither an IPv4 nor an IPv6 address");
    }
    endpoint = tcp::endpoint(address, port);
  }
  tcp::acceptor acceptor(context);
  acceptor.open(endpoint.protocol());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  if (endpoint.address().is_v6() && endpoint.address().is_unspecified()) {
    acceptor.set_option(asio::ip::v6_only(false));
  }
  acceptor.bind(endpoint);
  acceptor.listen();
  return acceptor;
}

// Owns the loop and decides: whom to serve, how long to wait for whom, when a connection
// may be closed in order, and when to stop. The reactor, the listener, the device list in
// force and the back-off for shortages of descriptors are its own for the whole run.
class Collector {
public:
  Collector(const Options &options, std::optional<DeviceList> devices)
      : options_(options), devices_(std::move(devices)),
        reactor_([this](int signalNumber) { onSignal(signalNumber); }),
        acceptor_(openListener(reactor_.context(), options)) {
    acceptor_.non_blocking(true);
    acceptOnlyOnceDataArrives(acceptor_, silenceWindow);
  }

  // Serves until a stop is requested; the exit status.
  int run() {
    console::listening(options_.listen.value_or("0.0.0.0"), options_.port);
    while (std::optional<Peer> peer = nextPeer()) {
      serve(std::move(*peer));
    }
    abandonWaitingToClose();
    console::stopped(stop_.signalName());
    return EXIT_SUCCESS;
  }

private:
  // With a device list, SIGHUP reads it again; any other signal asks for a stop, a second
  // one to end once the record being written is stored.
  void onSignal(int signalNumber) {
    if (signalNumber == SIGHUP && options_.devices) {
      reloadDevices();
    } else {
      stop_.signalled(signalNumber, Clock::now(), stopTimeLimit);
    }
  }

  // Reads the device list again. Records from here on are checked against the new list; a
  // list that no longer reads correctly is reported, and the one in force stays.
  void reloadDevices() {
    try {
      devices_ = readDeviceList(*options_.devices);
      console::devicesReloaded(devices_->devices.size());
    } catch (const std::exception &e) {
      console::exception(std::string(e.what()) + ": the device list in force stays");
    }
  }

  // The next peer, or nothing once a stop is requested and nothing is left to do. A peer
  // already waiting is taken at once, without a turn of the reactor; once a stop is
  // requested, only such peers are taken, until the stop's time is up.
  std::optional<Peer> nextPeer() {
    for (Peer peer;;) {
      tendWaitingToClose();
      if (stop_.timeIsUp(Clock::now())) {
        return std::nullopt;
      }
      const std::error_code error = acceptWaitingPeer(acceptor_, peer);
      if (!error) {
        backoff_.reset();
        return peer;
      }
      if (error == asio::error::would_block) {
        if (stop_.requested() && waitingToClose_.empty()) {
          return std::nullopt;
        }
        if (!stop_.requested() && !listenerWait_.armed()) {
          listenerWait_.arm(acceptor_);
        }
        reactor_.awaitEvent(std::min(nextClosingDeadline(), stop_.deadline()));
        continue;
      }
      switch (acceptFailureOf(error)) {
      case AcceptFailure::peersOwn:
        console::exception(std::system_error(error, "accept").what());
        break;
      case AcceptFailure::resourceShortage:
        if (stop_.requested()) {
          return std::nullopt; // the peers still waiting cannot be taken now
        }
        // Worded without a virtual call: a sanitizer build checks those with a pipe, which
        // the shortage would deny it.
        backOff(std::string("accept: ") + std::strerror(error.value()), Clock::time_point::max());
        break;
      case AcceptFailure::listener:
        throw std::system_error(error, "accept");
      }
    }
  }

  // Serves one peer: stores its lines as they come, waiting for the rest of a line it has
  // begun; then lets its connection wait to be closed, unless it has already closed its side.
  void serve(Peer peer) {
    Connection c;
    c.peer = std::move(peer);
    c.lastBytes = Clock::now();
    c.deadline = c.lastBytes + reportTimeLimit;
    console::connection(c.peer.address);
    takeMore(c, c.peer.socket.get());
    if (c.bytesTaken == 0) {
      awaitFirstBytes(std::move(c));
      return;
    }
    // After a stop, and for a source that lost its turn, only reports already whole.
    const bool mayWait = !stop_.requested() && !turns_.hasLost(c.peer.source, c.lastBytes);
    while (!c.lost && !c.peerClosed && c.cutter.midLine()) {
      if (!mayWait) {
        takeMore(c, c.peer.socket.get()); // its close may have come just after its bytes
        if (!c.peerClosed && c.cutter.midLine()) {
          giveUpUnwaited(c);
          return;
        }
      } else if (waitForMore(c)) {
        takeMore(c, c.peer.socket.get());
      }
    }
    if (!c.lost && !c.peerClosed) {
      takeMore(c, c.peer.socket.get()); // a board that closed its side needs no quiet time
    }
    if (c.lost || c.peerClosed) {
      finish(c);
    } else {
      letWaitToClose(std::move(c));
    }
  }

  // A peer handed over with nothing to read has been silent for the kernel's whole window,
  // and is reset at once: nothing of its is lost. One that the kernel completed from a SYN
  // cookie, after a flood, may wait a quiet time for its first bytes on the reactor, never
  // in the loop, while there is a place for it.
  void awaitFirstBytes(Connection c) {
    if (c.lost || stop_.requested() || waitingToClose_.size() >= maxWaitingToClose ||
        heldForTheWholeWindow(c.peer.socket.get())) {
      resetConnection(c.peer.socket);
      return;
    }
    letWaitToClose(std::move(c));
  }

  // The peer of `c` is not waited for: told once per stop or per source, not per peer.
  void giveUpUnwaited(Connection &c) {
    if (stop_.requested()) {
      console::exception(stoppingProblem);
    }
    resetConnection(c.peer.socket);
  }

  // Waits for the peer of `c` to send more, looking after the connections that wait to be
  // closed meanwhile, and says whether it has. A peer that does not is lost: at the report's
  // deadline, at a stall while others wait, or when the stop's time is up.
  bool waitForMore(Connection &c) {
    console::flush(); // the operator sees whom the collector waits for
    prepareToWait(c);
    LentSocket lent(reactor_.context(), c.peer.socket);
    ReadWait bytes;
    bytes.arm(lent.socket());
    for (;;) {
      const auto now = Clock::now();
      const bool othersWait = peerIsWaiting(acceptor_);
      if (othersWait && c.othersWaitSince == Clock::time_point::max()) {
        c.othersWaitSince = now; // from here the line has a short time to end, trickle or not
      }
      const auto deadline =
          othersWait ? std::min(c.deadline, c.othersWaitSince + stallLimit(c)) : c.deadline;
      if (bytes.over()) {
        return true;
      }
      if (now >= deadline || stop_.timeIsUp(now)) {
        loseLine(c, othersWait);
        return false;
      }
      if (!othersWait && !listenerWait_.armed()) {
        listenerWait_.arm(acceptor_); // a peer that comes shortens the wait
      }
      reactor_.awaitEvent(std::min({deadline, nextClosingDeadline(), stop_.deadline()}));
      tendWaitingToClose();
    }
  }

  // Before the collector first waits for the peer of `c`, its link is measured once: the
  // link does not change within a report. Its bytes are acknowledged at once before each wait.
  static void prepareToWait(Connection &c) {
    if (c.quietTime == Clock::duration::zero()) {
      c.quietTime = quietTimeFor(smoothedRoundTrip(c.peer.socket.get()));
    }
    acknowledgeAtOnce(c.peer.socket.get());
  }

  static Clock::duration stallLimit(const Connection &c) {
    return std::max<Clock::duration>(shortestStall, 2 * c.quietTime);
  }

  // The line the peer of `c` began never ended. When it `stalled` while others waited, its
  // source loses its turn.
  void loseLine(Connection &c, bool stalled) {
    console::droppedFragment(c.cutter.partialLineBytes(), c.peer.address);
    c.lost = true;
    if (stalled) {
      loseTurn(c.peer.source, Clock::now());
    }
  }

  // The `source` held others up: it is not waited for a while, and told once.
  void loseTurn(const std::string &source, Clock::time_point now) {
    if (turns_.lose(source, now)) {
      console::lostTurn(source, static_cast<long>(LostTurns::penalty.count()));
    }
  }

  // Takes what the peer of `c` has sent since on `socket`, and stores the lines it completes.
  void takeMore(Connection &c, int socket) {
    std::string fresh;
    const std::error_code error = takeWhatHasArrived(socket, fresh, maxReportBytes - c.bytesTaken);
    if (!fresh.empty()) {
      c.lastBytes = Clock::now();
      c.bytesTaken += fresh.size();
    }
    if (error == asio::error::eof) {
      c.peerClosed = true;
    }
    if ((error && error != asio::error::eof) || (c.peerClosed && c.bytesTaken == 0)) {
      failRead(c, error);
      return;
    }
    store(c, c.cutter.take(fresh, std::time(nullptr), c.peerClosed));
    if (c.bytesTaken == maxReportBytes && !c.peerClosed) {
      if (c.cutter.partialLineBytes() == c.bytesTaken) {
        failRead(c, asio::error::message_size); // one line, longer than a report may be
      } else if (const std::size_t beyond = bytesWaiting(socket)) {
        console::droppedBeyondCap(beyond, c.peer.address);
        c.lost = true;
      }
    }
  }

  // Reading from the peer of `c` failed with `error`: that line is all the operator is told.
  static void failRead(Connection &c, const std::error_code &error) {
    console::exception(std::system_error(error, "read_until").what());
    c.lost = true;
    c.resetSaid = true;
  }

  // Echoes and stores the lines of `report`; whatever of it is not stored loses `c`.
  void store(Connection &c, const Report &report) {
    if (!report.pkg.empty()) {
      if (c.echoed) {
        console::laterLines(c.peer.address, report.pkg);
      } else {
        console::echo(report.pkg);
      }
      c.echoed = true;
    }
    if (report.linesWithoutDevice > 0) {
      console::linesWithoutDevice(report.linesWithoutDevice, c.peer.address);
      c.lost = true;
    }
    if (report.bytesAfterNul > 0) {
      console::bytesAfterNul(report.bytesAfterNul, c.peer.address);
      c.lost = true;
    }
    if (!processReport(report, c.deadline)) {
      c.lost = true;
    }
  }

  // Closes the connection of `c`: in order when everything its peer sent is stored, which
  // tells the board its report is safe; otherwise with a reset, and the operator is told. A
  // peer that never said anything is reset too, with nothing to tell: it lost nothing, and
  // bytes it sent later must not find an orderly close.
  static void finish(Connection &c) {
    if (c.lost && !c.resetSaid) {
      console::peerReset(c.peer.address);
    }
    if (c.lost || c.bytesTaken == 0) {
      resetConnection(c.peer.socket);
    } else {
      c.peer.socket.close();
    }
  }

  // Lets `c` wait on the reactor until its quiet time has passed. While as many connections
  // wait as may, the loop looks after them until one has gone.
  void letWaitToClose(Connection c) {
    while (waitingToClose_.size() >= maxWaitingToClose && !stop_.timeIsUp(Clock::now())) {
      reactor_.awaitEvent(std::min(nextClosingDeadline(), stop_.deadline()));
      tendWaitingToClose();
    }
    prepareToWait(c);
    WaitingToClose &waiting = waitingToClose_.emplace_back(reactor_.context(), std::move(c));
    waiting.wait.arm(waiting.lent->socket());
  }

  // When the connection of `c` is done waiting: its quiet time after the last whole line
  // has passed, or the report's deadline. A line begun is waited for until the report's
  // deadline, unless others are held up meanwhile.
  Clock::time_point closingDeadline(const Connection &c, Clock::time_point now) const {
    const bool crowded =
        waitingToClose_.size() >= maxWaitingToClose || turns_.hasLost(c.peer.source, now);
    if (!c.cutter.midLine()) {
      // A board has sent its report within a quiet time or two; a peer that keeps a place
      // with line after line is cut once others need it.
      const auto held = c.deadline - reportTimeLimit + longestHold;
      return std::min({c.deadline, c.lastBytes + c.quietTime, crowded ? held : c.deadline});
    }
    const bool hurry = crowded || stop_.requested();
    return hurry ? std::min(c.deadline, c.lastBytes + stallLimit(c)) : c.deadline;
  }

  Clock::time_point nextClosingDeadline() const {
    const auto now = Clock::now();
    auto next = Clock::time_point::max();
    for (const auto &waiting : waitingToClose_) {
      next = std::min(next, closingDeadline(waiting.connection, now));
    }
    return next;
  }

  // Stores what came to the connections that wait to be closed, and closes those that are
  // done: in order when all their peers sent is stored and their quiet time has passed.
  void tendWaitingToClose() {
    for (auto it = waitingToClose_.begin(); it != waitingToClose_.end();) {
      Connection &c = it->connection;
      if (it->wait.over()) {
        takeMore(c, it->lent->socket().native_handle());
        if (!c.lost && !c.peerClosed) {
          it->wait.arm(it->lent->socket());
        }
      }
      const auto now = Clock::now();
      if (!c.lost && !c.peerClosed && now < closingDeadline(c, now)) {
        ++it;
        continue;
      }
      if (!c.lost && !c.peerClosed) {
        loseUnfinished(c, now);
      }
      it->lent.reset();
      finish(c);
      it = waitingToClose_.erase(it);
    }
  }

  // The closing deadline of `c` came with its report unfinished: a line begun, or lines that
  // still came when the report's time was up.
  void loseUnfinished(Connection &c, Clock::time_point now) {
    if (c.cutter.midLine()) {
      loseLine(c, now < c.deadline);
    } else if (now < c.lastBytes + c.quietTime) {
      failRead(c, asio::error::timed_out);
      if (now < c.deadline) {
        loseTurn(c.peer.source, now);
      }
    }
  }

  // The stop's time is up: connections still waiting may have more on its way, which will
  // not be stored.
  void abandonWaitingToClose() {
    for (auto &waiting : waitingToClose_) {
      waiting.lent.reset();
      console::exception(stoppingProblem);
      resetConnection(waiting.connection.peer.socket);
    }
    waitingToClose_.clear();
  }

  // Waits while the system is short of descriptors, and says whether there is time to try
  // again before `deadline`. The `problem` is told the operator about once a second.
  bool backOff(const std::string &problem, Clock::time_point deadline) {
    const Clock::duration wait = backoff_.next();
    if (backoff_.worthSaying()) {
      console::exception(problem);
    }
    deadline = std::min(deadline, stop_.deadline());
    const auto until = std::min(Clock::now() + wait, deadline);
    while (Clock::now() < until && !stop_.timeIsUp(Clock::now())) {
      reactor_.awaitEvent(until);
    }
    return !stop_.timeIsUp(Clock::now()) && Clock::now() < deadline;
  }

  // Stores the records of `report` in order, and says whether all were stored. A record
  // that finds the system short of descriptors is tried again until `deadline`; after a
  // second stop signal, or once the stop's time is up, no further record is tried.
  bool processReport(const Report &report, Clock::time_point deadline) {
    bool allStored = true;
    for (std::size_t index = 0; index < report.records.size(); ++index) {
      if (index > 0) {
        reactor_.poll(); // a signal that has come is seen
      }
      if (stop_.timeIsUp(Clock::now())) {
        return false; // the rest are not stored: the peer is reset
      }
      allStored = storeRecord(report.records[index], deadline) && allStored;
    }
    return allStored;
  }

  bool storeRecord(const Record &record, Clock::time_point deadline) {
    if (const auto refusal = refusalByDeviceList(devices_ ? &*devices_ : nullptr, record)) {
      console::exception(*refusal);
      return false;
    }
    Outcome outcome = appendToDeviceLog(options_.logDir, record);
    while (outcome.kind == Outcome::Kind::shortOfDescriptors &&
           backOff(outcome.problem, deadline)) {
      outcome = appendToDeviceLog(options_.logDir, record);
    }
    if (outcome.kind == Outcome::Kind::stored) {
      backoff_.reset();
      return true;
    }
    console::exception(outcome.problem);
    return false;
  }

  const Options &options_;
  std::optional<DeviceList> devices_; // nothing without --devices: every identifier is stored
  StopState stop_;
  Reactor reactor_;
  tcp::acceptor acceptor_;
  ReadWait listenerWait_; // armed while the loop waits and a peer that comes may change that
  std::list<WaitingToClose> waitingToClose_;
  LostTurns turns_;
  AcceptBackoff backoff_;
};

// The exit status, once the console has had a moment to take the last lines.
int finish(int exitStatus) {
  console::finish(std::chrono::milliseconds(500));
  return exitStatus;
}

} // namespace

int runServer(const Options &options) {
  try {
    // Checked before the listener opens: a collector that can store nothing, or that cannot
    // tell boards from the rest, must not let a board believe it stored its report.
    std::optional<DeviceList> devices;
    if (options.devices) {
      devices = readDeviceList(*options.devices);
    }
    prepareLogDirectory(options.logDir);
    Collector collector(options, std::move(devices));
    return finish(collector.run());
  } catch (const std::exception &e) {
    console::exception(e.what());
    return finish(EXIT_FAILURE);
  }
}
