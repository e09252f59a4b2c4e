#pragma once

// Sources that lost their turn: a peer that stalls in the middle of a line while others wait
// costs every board behind it, so its source address is not waited for again for a while.
// Decided here, with the time passed in.

#include "server/sockets.hpp"

#include <cstddef>
#include <string>
#include <unordered_map>

class LostTurns {
public:
  // How long a source is not waited for, and how many sources are remembered at most:
  // beyond that, a source that lost its turn is forgotten early, never one that did not
  // lose it taken for one that did.
  static constexpr std::chrono::seconds penalty{60};
  static constexpr std::size_t capacity = 4096;

  // `address` stalled at `now`. Says whether that is news, to be told once per source.
  bool lose(const std::string &address, Clock::time_point now);

  // Whether peers of `address` are not waited for at `now`.
  bool hasLost(const std::string &address, Clock::time_point now) const;

private:
  void forgetExpired(Clock::time_point now);

  std::unordered_map<std::string, Clock::time_point> until_;
};
