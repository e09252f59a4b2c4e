// The collector's loop: whom to serve, when to stop, and what to tell the operator.

#include "server/server.hpp"

#include "devicelog/devicelog.hpp"
#include "devices/device_list.hpp"
#include "server/admission.hpp"
#include "server/console.hpp"
#include "server/sockets.hpp"

#include <asio.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
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

const char *signalName(int signalNumber) {
  switch (signalNumber) {
  case SIGINT:
    return "SIGINT";
  case SIGHUP:
    return "SIGHUP";
  default:
    return "SIGTERM";
  }
}

// What one peer sent, as far as the collector read it.
struct Received {
  std::string bytes;
  std::size_t bytesBeyondCap = 0; // had arrived after the first maxReportBytes: not read
};

// Owns the I/O context and everything that lives as long as the collector serves: the
// listener, the stop signals, the device list in force and the back-off for shortages of
// descriptors. One operation is in flight at a time, and the context runs until its handler
// says it is over, its deadline passes or a second stop signal says to end at once, as in
// Asio's timeout examples.
class Collector {
public:
  Collector(const Options &options, std::optional<DeviceList> devices)
      : options_(options), devices_(std::move(devices)),
        acceptor_(io_context_, tcp::endpoint(tcp::v4(), static_cast<unsigned short>(options.port))),
        signals_(io_context_, SIGINT, SIGTERM, SIGHUP) {
    acceptor_.non_blocking(true);
    watchSignals();
  }

  // Serves until a stop is requested; the exit status.
  int run() {
    console::listening(options_.port);
    while (std::optional<Peer> peer = acceptDevice()) {
      serve(*peer);
    }
    console::stopped(signalName(stopSignal_));
    return EXIT_SUCCESS;
  }

private:
  // Watched on the same context, so that a stop lets the report in hand be finished. A
  // second signal ends the collector once the record being written is stored. With a device
  // list, SIGHUP reads it again instead.
  void watchSignals() {
    signals_.async_wait([this](std::error_code error, int signalNumber) {
      if (error) {
        return;
      }
      if (signalNumber == SIGHUP && options_.devices) {
        reloadDevices();
      } else if (stopSignal_ == 0) {
        stopSignal_ = signalNumber;
        stopDeadline_ = Clock::now() + stopTimeLimit;
        acceptor_.cancel();
      } else {
        stopNow_ = true;
      }
      watchSignals();
    });
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

  // Runs the handlers that are ready, without waiting: a signal that has come is seen.
  void noticeSignals() {
    io_context_.restart();
    io_context_.poll();
  }

  // Runs handlers until the operation in flight has finished, `deadline` passes, a second
  // stop signal comes or `giveUp` says so, and says whether it finished. Other pending work,
  // such as the watched signals, never holds us here.
  bool runUntil(Clock::time_point deadline, const std::function<bool()> &giveUp = {}) {
    operationDone_ = false;
    io_context_.restart();
    while (!operationDone_ && !stopNow_ && !(giveUp && giveUp()) &&
           io_context_.run_one_until(deadline) > 0) {
    }
    return operationDone_;
  }

  // Runs the handler of an operation that has just been cancelled, which must run before
  // what the operation uses goes.
  void completeCancelled() {
    io_context_.restart();
    while (!operationDone_ && io_context_.run_one() > 0) {
    }
  }

  // Called by a completion handler: the operation that runUntil waits for is over.
  void finish() {
    operationDone_ = true;
  }

  // The next peer, or nothing once a stop is requested and no peer is left waiting. A peer
  // already waiting is taken at once, without a turn of the reactor; once a stop is
  // requested, only such peers are taken, until the stop's time is up.
  std::optional<Peer> acceptDevice() {
    for (Peer peer;;) {
      if (stopping()) {
        noticeSignals();
        if (stopNow_ || Clock::now() >= stopDeadline_) {
          return std::nullopt;
        }
      }
      std::error_code error = acceptWaitingPeer(acceptor_, peer);
      if (error == asio::error::would_block) {
        if (stopping()) {
          return std::nullopt;
        }
        awaitPeer();
        continue;
      }
      if (!error) {
        backoff_.reset();
        return peer;
      }
      switch (acceptFailureOf(error)) {
      case AcceptFailure::peersOwn:
        console::exception(std::system_error(error, "accept").what());
        break;
      case AcceptFailure::resourceShortage:
        if (stopping()) {
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

  bool stopping() const {
    return stopSignal_ != 0;
  }

  // Waits until a peer is ready to be taken, or a stop is requested. The reactor looks at the
  // listener afresh when the wait begins, so a peer that is already waiting ends it at once.
  void awaitPeer() {
    acceptor_.async_wait(tcp::acceptor::wait_read, [this](std::error_code) { finish(); });
    if (!runUntil(Clock::time_point::max())) {
      acceptor_.cancel();
      completeCancelled();
    }
  }

  // Waits while the system is short of descriptors, and says whether there is time to try
  // again before `deadline`. The `problem` is told the operator about once a second.
  bool backOff(const std::string &problem, Clock::time_point deadline) {
    const Clock::duration wait = backoff_.next();
    if (backoff_.worthSaying()) {
      console::exception(problem);
    }
    deadline = std::min(deadline, stopDeadline_);
    runUntil(std::min(Clock::now() + wait, deadline)); // only the signal wait is pending
    return !stopNow_ && Clock::now() < deadline;
  }

  // Reads what the peer has sent, up to maxReportBytes: at least one line feed, unless the
  // peer closed after sending something. Unless it `mayWait`, only a report that is already
  // there is taken. Failures belong to this one peer and are thrown as system errors.
  Received readReport(Peer &peer, Clock::time_point deadline, bool mayWait) {
    Received received;
    std::error_code error = takeWhatHasArrived(peer.socket.get(), received.bytes);
    if (!isComplete(received.bytes, error)) {
      if (!mayWait) {
        throw std::system_error(asio::error::operation_aborted, "read_until: stopping");
      }
      error = readRestOfReport(peer, received.bytes, deadline);
    }
    if (received.bytes.size() == maxReportBytes && !error) {
      received.bytesBeyondCap = bytesWaiting(peer.socket.get());
    }
    return received;
  }

  // Whether `buffer` holds a report once the read that filled it ended with `error`.
  static bool isComplete(const std::string &buffer, const std::error_code &error) {
    return buffer.find('\n') != std::string::npos || (error == asio::error::eof && !buffer.empty());
  }

  // Waits, until `deadline`, for the rest of a report that `buffer` begins, and returns the
  // error of the read that completed it. Only a peer that must be waited for is handed to
  // the reactor; the descriptor is the peer's again when this returns, or throws.
  std::error_code readRestOfReport(Peer &peer, std::string &buffer, Clock::time_point deadline) {
    console::flush(); // the operator sees whom the collector waits for
    tcp::socket socket(io_context_);
    socket.assign(tcp::v4(), peer.socket.get());
    peer.socket.release();
    const auto giveBack = [&] {
      peer.socket = FileDescriptor(socket.release());
    };
    std::error_code error;
    while (!isComplete(buffer, error)) {
      if (!error && buffer.size() == maxReportBytes) {
        error = asio::error::message_size;
      } else if (!error && !awaitBytes(socket, buffer, deadline)) {
        error = stopping() ? asio::error::operation_aborted : asio::error::timed_out;
      }
      if (error) {
        giveBack();
        throw std::system_error(error, stopping() ? "read_until: stopping" : "read_until");
      }
      error = takeWhatHasArrived(socket.native_handle(), buffer);
    }
    giveBack();
    return error;
  }

  // Waits until the peer has sent more, or closed, and says whether it has before `deadline`
  // or a stop that finds nothing in hand.
  bool awaitBytes(tcp::socket &socket, const std::string &buffer, Clock::time_point deadline) {
    socket.async_wait(tcp::socket::wait_read, [this](std::error_code) { finish(); });
    if (runUntil(std::min(deadline, stopDeadline_), [&] { return stopping() && buffer.empty(); })) {
      return true;
    }
    socket.cancel(); // its handler still has to run before the socket goes
    completeCancelled();
    return false;
  }

  // Serves one peer. Its connection is closed in order only when everything it sent is
  // stored: that tells the device its report is safe. Otherwise it is reset.
  void serve(Peer &peer) {
    const auto deadline = Clock::now() + reportTimeLimit;
    const bool mayWait = !stopping(); // after a stop, only reports that are already there
    console::connection(peer.address);
    Received received;
    try {
      received = readReport(peer, deadline, mayWait);
    } catch (const std::system_error &e) {
      console::exception(e.what()); // one peer's failure ends its own connection only
      resetConnection(peer.socket);
      return;
    }
    const Report report = makeReport(received.bytes, std::time(nullptr));
    if (report.droppedBytes > 0) {
      console::droppedFragment(report.droppedBytes, peer.address);
    }
    if (received.bytesBeyondCap > 0) {
      console::droppedBeyondCap(received.bytesBeyondCap, peer.address);
    }
    console::echo(report.pkg);
    const bool whole = report.droppedBytes == 0 && received.bytesBeyondCap == 0;
    if (!processReport(report, deadline) || !whole) {
      console::peerReset(peer.address);
      resetConnection(peer.socket);
    }
  }

  // Stores the records of `report` in order, and says whether all were stored. A record
  // that finds the system short of descriptors is tried again until `deadline`; after a
  // second stop signal, or once the stop's time is up, no further record is tried.
  bool processReport(const Report &report, Clock::time_point deadline) {
    bool allStored = true;
    for (std::size_t index = 0; index < report.records.size(); ++index) {
      if (index > 0) {
        noticeSignals();
      }
      if (stopNow_ || Clock::now() >= stopDeadline_) {
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
  asio::io_context io_context_{1};    // one thread runs it
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  int stopSignal_ = 0;   // the signal that asked for a stop; 0 while none has
  bool stopNow_ = false; // a second signal came: end once the record in hand is written
  Clock::time_point stopDeadline_ = Clock::time_point::max();
  bool operationDone_ = false;
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
