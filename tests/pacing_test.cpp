// How long the collector waits for a peer: pure decisions, with the time passed in.

#include "server/sockets.hpp"
#include "server/places.hpp"

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

} // namespace
