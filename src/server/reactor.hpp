#pragma once

// The collector's reactor: the I/O context, the stop signals and the waits for descriptors,
// each bounded by a deadline, as in Asio's timeout examples. Handlers only note what
// happened; what to do about it is the loop's owner's to decide, between its steps.

#include "base/file_descriptor.hpp"
#include "server/sockets.hpp"

#include <asio.hpp>

#include <functional>
#include <memory>

// Whether the collector has been asked to stop, and how urgently.
class StopState {
public:
  // A stop signal came at `now`: the first asks for a stop within `timeLimit`, the next to
  // end at once.
  void signalled(int signalNumber, Clock::time_point now, Clock::duration timeLimit);

  bool requested() const {
    return signalNumber_ != 0;
  }
  // Whether nothing more may be done: a second signal came, or the stop's time is up.
  bool timeIsUp(Clock::time_point now) const {
    return immediate_ || now >= deadline_;
  }
  Clock::time_point deadline() const {
    return deadline_;
  }
  const char *signalName() const;

private:
  int signalNumber_ = 0;
  bool immediate_ = false;
  Clock::time_point deadline_ = Clock::time_point::max();
};

class Reactor {
public:
  // `onSignal` is called with each SIGINT, SIGTERM or SIGHUP that comes.
  explicit Reactor(std::function<void(int)> onSignal);

  asio::io_context &context() {
    return context_;
  }

  // Waits until one handler has run or `deadline` has passed.
  void awaitEvent(Clock::time_point deadline);

  // Runs the handlers that are ready, without waiting: a signal that has come is seen.
  void poll();

private:
  void watchSignals();

  asio::io_context context_{1}; // one thread runs it
  asio::signal_set signals_;
  std::function<void(int)> onSignal_;
};

// A wait for a descriptor to become readable. Its handler only notes that the wait is over,
// so that the descriptor may go before the handler runs: the note outlives both.
class ReadWait {
public:
  template <typename Waitable> void arm(Waitable &waitable) {
    over_ = std::make_shared<bool>(false);
    waitable.async_wait(Waitable::wait_read, [over = over_](std::error_code) { *over = true; });
  }
  bool armed() const {
    return over_ != nullptr && !*over_;
  }
  bool over() const {
    return over_ != nullptr && *over_;
  }

private:
  std::shared_ptr<bool> over_;
};

// A peer's descriptor lent to the reactor while the collector waits for it. Its owner keeps
// it, and reads and closes it; the reactor lets it go, unclosed, when this goes.
class LentSocket {
public:
  LentSocket(asio::io_context &context, const FileDescriptor &owner);
  ~LentSocket();
  LentSocket(const LentSocket &) = delete;
  LentSocket &operator=(const LentSocket &) = delete;

  asio::ip::tcp::socket &socket() {
    return socket_;
  }

private:
  asio::ip::tcp::socket socket_;
};
