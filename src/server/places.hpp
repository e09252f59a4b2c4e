#pragma once

// How many connections the collector gathers at once, and what it tells the operator when
// they give up their places to newcomers: decided here, with the time passed in.

#include "server/sockets.hpp"

#include <cstddef>

// The places for connections, at most: each holds a descriptor and up to a report's 64 KiB,
// so 512 places hold at most 32 MiB of reports.
constexpr std::size_t mostPlaces = 512;

// The places that `openFiles` descriptors allow, with 16 kept for the listener, the
// console, the reactor and the device file being written.
std::size_t placesFor(std::size_t openFiles);

// The process's limit of open descriptors.
std::size_t openFilesLimit();

// Connections that gave up their places since the operator was last told, said at most once
// a second: a flood of newcomers must not flood standard error.
class PlacesNotice {
public:
  // A connection gave its place up: closed in order, its lines stored, or reset.
  void count(bool inOrder) {
    ++(inOrder ? inOrder_ : reset_);
  }
  bool pending() const {
    return inOrder_ + reset_ > 0;
  }
  // When the count may next be said.
  Clock::time_point due() const {
    return lastSaid_ + interval;
  }
  std::size_t inOrder() const {
    return inOrder_;
  }
  std::size_t reset() const {
    return reset_;
  }
  void said(Clock::time_point now) {
    lastSaid_ = now;
    inOrder_ = reset_ = 0;
  }

private:
  static constexpr std::chrono::seconds interval{1};
  Clock::time_point lastSaid_ = Clock::time_point::min() + interval;
  std::size_t inOrder_ = 0;
  std::size_t reset_ = 0;
};
