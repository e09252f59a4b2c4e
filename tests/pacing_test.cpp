// How long the collector waits for a peer: pure decisions, with the time passed in.

#include "server/places.hpp"
#include "server/sockets.hpp"

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

TEST(Places, AreBoundedByDescriptorsAndMemory) {
  const struct {
    std::size_t openFiles, places;
  } cases[] = {
      {1024, mostPlaces},    // a shell's or systemd's default: 32 MiB of reports at most
      {1 << 20, mostPlaces}, // a raised limit raises no memory bound
      {100, 84},             // 16 kept for the listener, the console, the reactor, a device file
      {20, 4},
      {10, 1}, // too few to keep 16: one place still, and accepts wait out the shortage
  };
  for (const auto &c : cases) {
    EXPECT_EQ(placesFor(c.openFiles), c.places) << c.openFiles;
  }
}

TEST(PlacesNotice, SaysTheFirstAtOnceThenAtMostOnceASecond) {
  const auto now = Clock::now();
  PlacesNotice notice;
  notice.count(true);
  EXPECT_TRUE(notice.pending());
  EXPECT_LE(notice.due(), now) << "the first is said at once";
  notice.said(now);
  EXPECT_FALSE(notice.pending());
  notice.count(false);
  notice.count(false);
  EXPECT_EQ(notice.due(), now + std::chrono::seconds(1));
  EXPECT_EQ(notice.inOrder() + 10 * notice.reset(), 20U);
}

} // namespace
