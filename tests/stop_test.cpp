// SIGINT and SIGTERM stop the real report-collector in good order.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>

namespace fs = std::filesystem;
using namespace harness;

namespace {

class Stop : public CollectorTest {
protected:
  // Several senders stream reports; the signal comes in the middle of the stream.
  void stopDuringAStream(int signalNumber, const std::string &name) {
    start();
    ReportStream stream(4, INT_MAX, 200);
    ASSERT_TRUE(eventually([&] { return stream.sent() > 200; }));
    ::kill(pid, signalNumber);
    stream.join();
    EXPECT_EQ(exitStatus(pid), 0);
    const std::string last = "\n\nServer stopped on " + name + "\n";
    EXPECT_EQ(out().substr(out().size() - std::min(out().size(), last.size())), last);
    EXPECT_EQ(err(), "");

    const auto stored = storedRecords(dir);
    for (const auto &record : stream.acknowledged) {
      EXPECT_EQ(stored.count(record), 1U) << "lost: " << record;
    }
    for (const auto &record : stored) {
      EXPECT_EQ(stream.attempted.count(record), 1U) << "torn or invented: " << record;
    }
  }
};

TEST_F(Stop, SigtermFinishesTheReportsInHand) {
  stopDuringAStream(SIGTERM, "SIGTERM");
}

TEST_F(Stop, SigintFinishesTheReportsInHand) {
  stopDuringAStream(SIGINT, "SIGINT");
}

} // namespace
