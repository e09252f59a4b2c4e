// The collector's loop: whom to serve, when to stop, and what to tell the operator.

#include "server/server.hpp"

#include "devicelog/devicelog.hpp"
#include "devices/device_list.hpp"
#include "server/admission.hpp"
#include "server/connection.hpp"
#include "server/console.hpp"
#include "server/places.hpp"
#include "server/reactor.hpp"
#include "server/sockets.hpp"

#include <asio.hpp>

#include <malloc.h>

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

// After a stop signal, the reports already whole are stored within this time; then the
// collector ends, whatever peers do.
constexpr auto stopTimeLimit = std::chrono::seconds(10);

// The kernel holds a connection until its first bytes arrive, for up to this long: a port
// scanner's probe that waits for a banner never reaches the loop before then.
constexpr auto silenceWindow = std::chrono::seconds(5);

// Peers taken from the backlog in one turn of the loop, at most: a flood of them must not
// keep the loop from the connections that wait in places.
constexpr int peersPerTurn = 64;

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

// The keys of the boards on the device list `file`. The list itself is let go at once, and
// what it took is given back to the system: a collector runs for months after a reload.
DeviceKeys readDeviceKeys(const std::filesystem::path &file) {
  struct GiveBackMemory {
    ~GiveBackMemory() {
      ::malloc_trim(0);
    }
  } giveBack;
  return DeviceKeys(readDeviceList(file));
}

// A connection that waits on the reactor for its peer's bytes or for its time to pass,
// while the loop serves the others.
struct Place {
  Place(asio::io_context &context, Connection waiting) : connection(std::move(waiting)) {
    lent.emplace(context, connection.descriptor());
  }
  Connection connection;
  std::optional<LentSocket> lent;
  ReadWait wait;
  bool receiptAfterSync = false; // its quiet time has passed; its records await their sync
};

// Owns the loop and decides whom to serve and when: it takes peers from the backlog into
// places of its own, gathers their bytes side by side on the reactor, stores their lines one
// report at a time as they complete, and gives each place up when its connection is done or
// when a newcomer needs it. The reactor, the listener, the device list in force and the
// back-off for shortages of descriptors are its own for the whole run.
class Collector {
public:
  Collector(const Options &options, std::optional<DeviceKeys> devices)
      : options_(options), devices_(std::move(devices)),
        reactor_([this](int signalNumber) { onSignal(signalNumber); }),
        acceptor_(openListener(reactor_.context(), options)), places_(placesFor(openFilesLimit())) {
    acceptor_.non_blocking(true);
    acceptOnlyOnceDataArrives(acceptor_, silenceWindow);
    resetConnectionsByDefault(acceptor_);
  }

  // Serves until a stop is requested; the exit status.
  int run() {
    console::listening(options_.listen.value_or("0.0.0.0"), options_.port);
    while (!stop_.requested()) {
      takeWaitingPeers();
      syncThenRelease();
      reactor_.awaitEvent(nextDeadline_);
      if (!waiting_.empty()) {
        reactor_.poll(); // the rest of what came is seen in the same pass over the places
      }
      tendPlaces(Clock::now());
    }
    stopServing();
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
      devices_ = readDeviceKeys(*options_.devices);
      console::devicesReloaded(devices_->size());
    } catch (const std::exception &e) {
      console::exception(std::string(e.what()) + ": the device list in force stays");
    }
  }

  // Takes the peers waiting in the backlog while there is a place for them, each served at
  // once as far as it has come; then lets a peer that comes wake the loop.
  void takeWaitingPeers() {
    Peer peer;
    for (int taken = 0; taken < peersPerTurn; ++taken) {
      if (waiting_.size() >= places_) {
        if (!peerIsWaiting(acceptor_)) {
          wakeForNewcomers();
          return;
        }
        if (!giveUpAPlace()) {
          return; // all wait for their quiet time, which ends soon: the loop wakes for it
        }
      }
      const std::error_code error = acceptWaitingPeer(acceptor_, peer);
      if (!error) {
        backoff_.reset();
        admit(std::move(peer));
      } else if (error == asio::error::would_block) {
        wakeForNewcomers();
        return;
      } else if (!survivesAcceptFailure(error)) {
        return;
      }
    }
    wakeForNewcomers(); // more are waiting: at once, once the connections in places are seen
  }

  void wakeForNewcomers() {
    if (!listenerWait_.armed()) {
      listenerWait_.arm(acceptor_);
    }
  }

  // Whether accepting may go on after `error`: one peer's network error is told, a shortage
  // of descriptors waits a while; anything else is the listener's, and ends the collector.
  bool survivesAcceptFailure(const std::error_code &error) {
    switch (acceptFailureOf(error)) {
    case AcceptFailure::peersOwn:
      console::exception(std::system_error(error, "accept").what());
      return true;
    case AcceptFailure::resourceShortage:
      // Worded without a virtual call: a sanitizer build checks those with a pipe, which
      // the shortage would deny it.
      backOff(std::string("accept: ") + std::strerror(error.value()), Clock::time_point::max());
      wakeForNewcomers(); // the peer that found no descriptor is still waiting
      return false;
    case AcceptFailure::listener:
      break;
    }
    throw std::system_error(error, "accept");
  }

  // Serves a peer just taken: a report whose lines and end are already there is stored and
  // closed at once, without the reactor; any other waits in a place of its own.
  void admit(Peer peer) {
    Connection c = connectionOf(std::move(peer));
    takeAndStore(c);
    if (c.stage() == Stage::awaitingQuiet) {
      takeAndStore(c); // a board that closed its side needs no quiet time
    }
    if (c.stage() == Stage::gathering && c.hasSentNothing() &&
        (waiting_.size() >= places_ || heldForTheWholeWindow(c.socket()))) {
      // Silent for the kernel's whole window: reset, it lost nothing. One that the kernel
      // completed from a SYN cookie, after a flood, may still send while there is a place.
      c.endAtDeadline();
    }
    if (c.stage() == Stage::closing) {
      closeWhenSynced(std::move(c));
      return;
    }
    c.prepareToWait();
    Place &place = waiting_.emplace_back(reactor_.context(), std::move(c));
    place.wait.arm(place.lent->socket());
    nextDeadline_ = std::min(nextDeadline_, place.connection.nextDeadline());
  }

  // The connection of `peer`: one from a proxy the operator trusts begins with its header.
  Connection connectionOf(Peer peer) const {
    const bool fromProxy = isWithin(options_.trustedProxies, peer.endpoint);
    return {std::move(peer), Clock::now(), fromProxy};
  }

  // Stores what came to the connections in places, moves on those whose time has come, and
  // gives up the places of those that are done. Also works out when the loop must next wake.
  void tendPlaces(Clock::time_point now) {
    if (placesNotice_.pending() && now >= placesNotice_.due()) {
      tellPlacesGivenUp(now);
    }
    nextDeadline_ = placesNotice_.pending() ? placesNotice_.due() : Clock::time_point::max();
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      Connection &c = it->connection;
      if (it->wait.over()) {
        takeAndStore(c);
        if (c.stage() != Stage::closing) {
          c.prepareToWait();
          it->wait.arm(it->lent->socket());
        }
      }
      if (c.stage() != Stage::closing && now >= c.nextDeadline()) {
        passTime(*it, now);
      }
      if (c.stage() == Stage::closing) {
        it = giveUp(it);
        continue;
      }
      nextDeadline_ = std::min(nextDeadline_, c.nextDeadline());
      ++it;
    }
  }

  // The time of `c` has come: its receipt after a quiet time, or the end of its report, when
  // what has come is stored and a line begun is lost.
  void passTime(Place &place, Clock::time_point now) {
    Connection &c = place.connection;
    if (!c.hasSentNothing()) {
      takeAndStore(c); // what has arrived since the last look is stored before anything else
    }
    if (c.stage() == Stage::awaitingQuiet && now < c.deadline()) {
      if (Clock::now() < c.nextDeadline()) {
        return; // lines came just now: their quiet time starts again
      }
      if (c.recordsAwaitSync()) {
        place.receiptAfterSync = receiptsAfterSync_ = true;
      } else {
        c.giveReceipt();
      }
    } else if (c.stage() != Stage::closing) {
      c.endAtDeadline();
    }
  }

  std::list<Place>::iterator giveUp(std::list<Place>::iterator place) {
    place->lent.reset();
    closeWhenSynced(std::move(place->connection));
    return waiting_.erase(place);
  }

  // Closes `c`; in order only once its records are on stable storage, after the next sync.
  void closeWhenSynced(Connection c) {
    if (c.recordsAwaitSync()) {
      closingAfterSync_.push_back(std::move(c));
    } else {
      c.close();
    }
  }

  // Group commit: one sync covers every record written since the last, whichever reports
  // they came in; then the receipts and orderly closes that waited for it. Done once a turn
  // of the loop, before it waits: the reports that came while the last sync ran are stored
  // together, and wait for one sync more, not one each.
  void syncThenRelease() {
    syncHeldFiles();
    for (auto it = waiting_.begin(); receiptsAfterSync_ && it != waiting_.end();) {
      if (std::exchange(it->receiptAfterSync, false)) {
        it->connection.giveReceipt();
        if (it->connection.stage() == Stage::closing) {
          it = giveUp(it); // its sync failed: reset
          continue;
        }
      }
      ++it;
    }
    receiptsAfterSync_ = false;
    for (Connection &c : std::exchange(closingAfterSync_, {})) {
      c.close();
    }
  }

  // Syncs the files held since the last sync, if any, and says whether there were some.
  bool syncHeldFiles() {
    if (syncBatch_.empty()) {
      return false;
    }
    for (const std::string &problem : syncBatch_.sync()) {
      console::exception(problem);
    }
    return true;
  }

  // Every place is taken and a newcomer waits: a connection that has its receipt gives its
  // place up first, then the one that has waited longest for a whole line (reset), then one
  // that has sent whole lines for longer than any quiet time (closed in order: they are
  // stored). One within its first quiet time keeps its place: it ends soon. Says whether a
  // place was freed.
  bool giveUpAPlace() {
    const auto now = Clock::now();
    auto chosen = waiting_.end();
    for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
      if (mayGiveUp(it->connection, now) &&
          (chosen == waiting_.end() || givesUpBefore(it->connection, chosen->connection))) {
        chosen = it;
      }
    }
    if (chosen == waiting_.end()) {
      return false;
    }
    Connection &c = chosen->connection;
    takeAndStore(c); // what has arrived is stored, or said lost, before the place goes
    const bool reset = c.stage() == Stage::gathering;
    if (reset) {
      c.lose(Loss::evicted);
    }
    placesNotice_.count(!reset);
    giveUp(chosen);
    if (now >= placesNotice_.due()) {
      tellPlacesGivenUp(now);
    }
    if (placesNotice_.pending()) {
      nextDeadline_ = std::min(nextDeadline_, placesNotice_.due());
    }
    return true;
  }

  static bool mayGiveUp(const Connection &c, Clock::time_point now) {
    return c.stage() != Stage::awaitingQuiet || now - c.acceptedAt() >= longestQuietTime;
  }

  // Whether `one` gives its place up before `other`: by stage, then the longest waiting.
  static bool givesUpBefore(const Connection &one, const Connection &other) {
    const auto rank = [](Stage stage) {
      return stage == Stage::receiptGiven ? 0 : stage == Stage::gathering ? 1 : 2;
    };
    if (rank(one.stage()) != rank(other.stage())) {
      return rank(one.stage()) < rank(other.stage());
    }
    return one.waitingSince() < other.waitingSince();
  }

  void tellPlacesGivenUp(Clock::time_point now) {
    console::placesGivenUp(places_, placesNotice_.inOrder(), placesNotice_.reset());
    placesNotice_.said(now);
  }

  // A stop: what has arrived is stored; connections with whole lines get their receipt,
  // those with a line begun are reset. Reports already whole in the backlog are still taken,
  // within the stop's time.
  void stopServing() {
    const auto now = Clock::now();
    for (auto it = waiting_.begin(); it != waiting_.end();) {
      endAtStop(it->connection);
      it = giveUp(it);
    }
    for (Peer peer; !stop_.timeIsUp(Clock::now()) && !acceptWaitingPeer(acceptor_, peer);
         peer = Peer()) {
      Connection c = connectionOf(std::move(peer));
      endAtStop(c);
      closeWhenSynced(std::move(c));
      if (closingAfterSync_.size() >= peersPerTurn) {
        syncThenRelease(); // a long backlog holds no more descriptors than a turn does
      }
    }
    syncThenRelease(); // whatever a second signal says: these records are written
    if (placesNotice_.pending()) {
      tellPlacesGivenUp(now);
    }
  }

  void endAtStop(Connection &c) {
    if (c.stage() != Stage::closing) {
      takeAndStore(c);
    }
    c.endAtStop();
  }

  // Takes what the peer of `c` has sent since, and echoes and stores the lines it completes;
  // whatever of them is not stored loses `c`.
  void takeAndStore(Connection &c) {
    const Report report = c.takeMore(Clock::now());
    c.show(report);
    if (!storeRecords(report.records, c)) {
      c.lose(Loss::notStored);
    }
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

  // Stores `records` in order, and says whether all were stored. A record that finds the
  // system short of descriptors is tried again until `deadline`; after a second stop signal,
  // or once the stop's time is up, no further record is tried.
  bool storeRecords(const std::vector<Record> &records, Connection &c) {
    bool allStored = true;
    for (std::size_t index = 0; index < records.size(); ++index) {
      if (index > 0) {
        reactor_.poll(); // a signal that has come is seen
      }
      if (stop_.timeIsUp(Clock::now())) {
        return false; // the rest are not stored: the peer is reset
      }
      allStored = storeRecord(records[index], c) && allStored;
    }
    return allStored;
  }

  bool storeRecord(const Record &record, Connection &c) {
    if (const auto refusal = refusalByDeviceList(devices_ ? &*devices_ : nullptr, record)) {
      console::exception(*refusal);
      return false;
    }
    SyncBatch *batch = options_.sync ? &syncBatch_ : nullptr;
    Outcome outcome = appendToDeviceLog(options_.logDir, record, batch);
    // The files held for the sync are the first descriptors to free.
    while (outcome.kind == Outcome::Kind::shortOfDescriptors &&
           (syncHeldFiles() || backOff(outcome.problem, c.deadline()))) {
      outcome = appendToDeviceLog(options_.logDir, record, batch);
    }
    if (outcome.kind == Outcome::Kind::stored) {
      backoff_.reset();
      if (outcome.sync) {
        c.awaitSync(outcome.sync);
      }
      return true;
    }
    console::exception(outcome.problem);
    return false;
  }

  const Options &options_;
  std::optional<DeviceKeys> devices_; // nothing without --devices: every identifier is stored
  StopState stop_;
  Reactor reactor_;
  tcp::acceptor acceptor_;
  ReadWait listenerWait_; // armed while a peer that comes is to wake the loop
  const std::size_t places_;
  std::list<Place> waiting_;
  Clock::time_point nextDeadline_ = Clock::time_point::max(); // when the loop must wake
  PlacesNotice placesNotice_;
  AcceptBackoff backoff_;
  // With --sync: the device files written since the last sync, and the connections whose
  // receipt or orderly close waits for it.
  SyncBatch syncBatch_;
  std::vector<Connection> closingAfterSync_;
  bool receiptsAfterSync_ = false; // a place's receipt waits for the sync
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
    std::optional<DeviceKeys> devices;
    if (options.devices) {
      devices = readDeviceKeys(*options.devices);
    }
    prepareLogDirectory(options.logDir);
    for (const std::string &problem : mendTornRecords(options.logDir)) {
      console::exception(problem);
    }
    Collector collector(options, std::move(devices));
    return finish(collector.run());
  } catch (const std::exception &e) {
    console::exception(e.what());
    return finish(EXIT_FAILURE);
  }
}
