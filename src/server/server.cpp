// The collector's loop: whom to serve, when to stop, and what to tell the operator.

#include "server/server.hpp"

#include "devicelog/devicelog.hpp"
#include "server/console.hpp"
#include "server/sockets.hpp"

#include <asio.hpp>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

using asio::ip::tcp;

namespace {

// A line that has not arrived within this time after the accept never will.
constexpr auto readTimeLimit = std::chrono::seconds(10);

const char *signalName(int signalNumber) {
  return signalNumber == SIGINT ? "SIGINT" : "SIGTERM";
}

// Owns the I/O context and everything that lives as long as the collector serves: the
// listener, the stop signals and the accept back-off. One operation is in flight at a time,
// and the context runs until its handler says it is over or its deadline passes, as in
// Asio's timeout examples.
class Collector {
public:
  explicit Collector(const Options &options)
      : options_(options),
        acceptor_(io_context_, tcp::endpoint(tcp::v4(), static_cast<unsigned short>(options.port))),
        signals_(io_context_, SIGINT, SIGTERM) {
    acceptor_.non_blocking(true);
    // Watched on the same context, so that a stop lets the report in hand be finished.
    signals_.async_wait([this](std::error_code error, int signalNumber) {
      if (!error) {
        stopSignal_ = signalNumber;
        acceptor_.cancel();
      }
    });
  }

  // Serves until a stop is requested; the exit status.
  int run() {
    console::listening(options_.port);
    while (std::optional<Peer> peer = acceptDevice()) {
      if (!serve(*peer)) {
        return EXIT_FAILURE;
      }
    }
    console::stopped(signalName(stopSignal_));
    return EXIT_SUCCESS;
  }

private:
  // Runs handlers until the operation in flight has finished or `deadline` passes, and says
  // whether it finished. Other pending work, such as the watched signals, never holds us here.
  bool runUntil(Clock::time_point deadline) {
    operationDone_ = false;
    io_context_.restart();
    while (!operationDone_ && io_context_.run_one_until(deadline) > 0) {
    }
    return operationDone_;
  }

  // Called by a completion handler: the operation that runUntil waits for is over.
  void finish() {
    operationDone_ = true;
  }

  // The next peer, or nothing once a stop is requested and no peer is left waiting. A peer
  // already waiting is taken at once, without a turn of the reactor; once a stop is
  // requested, only such peers are taken: they have sent their reports and are served first.
  std::optional<Peer> acceptDevice() {
    for (Peer peer;;) {
      std::error_code error = acceptWaitingPeer(acceptor_, peer);
      if (error == asio::error::would_block) {
        if (stopSignal_ != 0) {
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
        if (stopSignal_ != 0) {
          return std::nullopt; // the peers still waiting cannot be taken now
        }
        backOff(error);
        break;
      case AcceptFailure::listener:
        throw std::system_error(error, "accept");
      }
    }
  }

  // Waits until a peer is ready to be taken, or a stop is requested. The reactor looks at the
  // listener afresh when the wait begins, so a peer that is already waiting ends it at once.
  void awaitPeer() {
    acceptor_.async_wait(tcp::acceptor::wait_read, [this](std::error_code) { finish(); });
    runUntil(Clock::time_point::max());
  }

  // Waits before the next accept, handling a stop signal meanwhile.
  void backOff(const std::error_code &error) {
    const Clock::duration wait = backoff_.next();
    if (backoff_.worthSaying()) {
      // Worded without a virtual call: a sanitizer build checks those with a pipe, which the
      // shortage would deny it.
      console::exception(std::string("accept: ") + std::strerror(error.value()));
    }
    runUntil(Clock::now() + wait); // nothing finishes: the signal wait keeps it busy till then
  }

  // Reads until a line feed has arrived, or until the peer has closed after sending
  // something. Failures belong to this one peer and are thrown as system errors.
  std::string readReport(Peer &peer) {
    const auto deadline = Clock::now() + readTimeLimit;
    std::string buffer = takeWhatHasArrived(peer.socket);
    if (buffer.find('\n') != std::string::npos) {
      return buffer;
    }
    // Only a peer that must be waited for is handed to the reactor. The descriptor stays the
    // peer's until the reactor has taken it, so that it is closed even when it is refused.
    console::flush();
    tcp::socket socket(io_context_);
    socket.assign(tcp::v4(), peer.socket.get());
    peer.socket.release();
    std::error_code error;
    startReadingLine(socket, buffer, [&](std::error_code ec) {
      error = ec;
      finish();
    });
    if (!runUntil(deadline)) {
      socket.close(); // aborts the read; its handler still has to run before `buffer` goes
      runUntil(Clock::time_point::max());
      throw std::system_error(asio::error::timed_out, "read_until");
    }
    peer.socket = FileDescriptor(socket.release());
    if (error) {
      throw std::system_error(error, "read_until");
    }
    return buffer;
  }

  // Serves one peer; says whether the collector goes on. Closing the peer's socket when it
  // goes tells the device that its report is stored.
  bool serve(Peer &peer) {
    console::connection(peer.address);
    std::string received;
    try {
      received = readReport(peer);
    } catch (const std::system_error &e) {
      console::exception(e.what()); // one peer's failure ends its own connection only
      return true;
    }
    const Report report = makeReport(received, std::time(nullptr));
    if (report.droppedBytes > 0) {
      console::droppedFragment(report.droppedBytes, peer.address);
    }
    console::echo(report.pkg);
    return stored(processReport(report, options_.logDir));
  }

  // Tells the operator what was not stored, and says whether the collector goes on: not
  // without a log directory, where no record can be stored.
  static bool stored(const std::vector<Outcome> &outcomes) {
    bool goOn = true;
    for (const Outcome &outcome : outcomes) {
      if (outcome.kind != Outcome::Kind::stored) {
        console::exception(outcome.problem);
      }
      goOn = goOn && outcome.kind != Outcome::Kind::noLogDirectory;
    }
    return goOn;
  }

  const Options &options_;
  asio::io_context io_context_{1}; // one thread runs it
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  int stopSignal_ = 0; // the signal that asked for a stop; 0 while none has
  bool operationDone_ = false;
  AcceptBackoff backoff_;
};

} // namespace

int runServer(const Options &options) {
  try {
    Collector collector(options);
    return collector.run();
  } catch (const std::exception &e) {
    console::exception(e.what());
    return EXIT_FAILURE;
  }
}
