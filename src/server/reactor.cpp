// The reactor's part of the loop: signals, waits and deadlines.

#include "server/reactor.hpp"

#include <csignal>

void StopState::signalled(int signalNumber, Clock::time_point now, Clock::duration timeLimit) {
  if (signalNumber_ != 0) {
    immediate_ = true;
    return;
  }
  signalNumber_ = signalNumber;
  deadline_ = now + timeLimit;
}

const char *StopState::signalName() const {
  switch (signalNumber_) {
  case SIGINT:
    return "SIGINT";
  case SIGHUP:
    return "SIGHUP";
  default:
    return "SIGTERM";
  }
}

Reactor::Reactor(std::function<void(int)> onSignal)
    : signals_(context_, SIGINT, SIGTERM, SIGHUP), onSignal_(std::move(onSignal)) {
  watchSignals();
}

void Reactor::watchSignals() {
  signals_.async_wait([this](std::error_code error, int signalNumber) {
    if (!error) {
      onSignal_(signalNumber);
      watchSignals();
      // The signal may have been seen while the loop was storing, between its own waits:
      // this handler makes sure its next wait returns, and the loop looks at the stop.
      asio::post(context_, [] {});
    }
  });
}

void Reactor::awaitEvent(Clock::time_point deadline) {
  context_.restart();
  (void)context_.run_one_until(deadline);
}

void Reactor::poll() {
  context_.restart();
  (void)context_.poll();
}

LentSocket::LentSocket(asio::io_context &context, const FileDescriptor &owner) : socket_(context) {
  socket_.assign(asio::ip::tcp::v4(), owner.get());
}

LentSocket::~LentSocket() {
  std::error_code ignored; // a release fails only for a socket that is not open
  (void)socket_.release(ignored);
}
