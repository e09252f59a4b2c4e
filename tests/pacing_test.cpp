// How long the collector waits for a peer: pure decisions, with the time passed in.

#include "server/sockets.hpp"
#include "server/turns.hpp"

#include <gtest/gtest.h>

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(QuietTime, IsTwoRoundTripsWithinBounds) {
  const struct {
    microseconds roundTrip;
    Clock::duration quiet;
  } cases[] = {
      {microseconds(0), shortestQuietTime},  // unknown
      {microseconds(30), shortestQuietTime}, // loopback
      {milliseconds(40), milliseconds(80)},  // across the internet
      {milliseconds(900), longestQuietTime}, // a satellite link, or a retransmission
  };
  for (const auto &c : cases) {
    EXPECT_EQ(quietTimeFor(c.roundTrip), c.quiet) << c.roundTrip.count();
  }
}

TEST(LostTurns, ForgetsASourceAfterItsPenaltyAndNeverBlamesAnother) {
  const auto now = Clock::now();
  LostTurns turns;
  EXPECT_TRUE(turns.lose("10.0.0.1", now));
  EXPECT_FALSE(turns.lose("10.0.0.1", now + milliseconds(1))) << "told once per source";
  EXPECT_TRUE(turns.hasLost("10.0.0.1", now + LostTurns::penalty - milliseconds(10)));
  EXPECT_FALSE(turns.hasLost("10.0.0.2", now));
  EXPECT_FALSE(turns.hasLost("10.0.0.1", now + LostTurns::penalty + milliseconds(10)));
  for (std::size_t i = 0; i < LostTurns::capacity + 10; ++i) {
    turns.lose("192.0.2." + std::to_string(i), now);
  }
  EXPECT_FALSE(turns.hasLost("10.0.0.2", now)) << "a full table blames no newcomer";
  EXPECT_TRUE(turns.hasLost("192.0.2." + std::to_string(LostTurns::capacity + 9), now));
}

} // namespace
