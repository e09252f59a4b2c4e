// SIGINT and SIGTERM stop the real report-collector in good order.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <sstream>
#include <vector>

#include <sys/socket.h>

namespace fs = std::filesystem;
using namespace harness;

namespace {

class Stop : public CollectorTest {
protected:
  // Several senders stream reports; the signal comes in the middle of the stream.
  void stopDuringAStream(int signalNumber, const std::string &name,
                         const std::vector<std::string> &args = {}) {
    start(args);
    ReportStream stream(4, INT_MAX, 200);
    ASSERT_TRUE(eventually([&] { return stream.sent() > 200; }));
    ::kill(pid, signalNumber);
    stream.join();
    EXPECT_EQ(exitStatus(pid), 0);
    const std::string last = "\nServer stopped on " + name + "\n";
    EXPECT_EQ(out().substr(out().size() - std::min(out().size(), last.size())), last);
    // A sender whose report had not arrived when the stop came is reset.
    std::istringstream errors(err());
    for (std::string line; std::getline(errors, line);) {
      EXPECT_EQ(line, "Exception: read_until: stopping: Operation aborted.");
    }

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

TEST_F(Stop, SighupFinishesTheReportsInHand) {
  stopDuringAStream(SIGHUP, "SIGHUP");
}

// The receipts that wait for a sync when the stop comes are given after it.
TEST_F(Stop, WithSyncSigtermFinishesTheReportsInHand) {
  stopDuringAStream(SIGTERM, "SIGTERM", {"--sync"});
}

// Peers that hold a connection and send nothing cannot hold the stop up; a report that is
// already waiting is still stored.
TEST_F(Stop, IdlePeersDoNotHoldUpAStop) {
  start();
  std::vector<int> idle(3);
  for (int &fd : idle) {
    fd = connectToCollector();
  }
  const int waiting = connectToCollector();
  const std::string report = "W,1\n";
  ASSERT_EQ(::send(waiting, report.data(), report.size(), MSG_NOSIGNAL), 4);
  ASSERT_TRUE(eventually([&] { return deviceFile("W.csv") == "TS,W,1\n"; }));
  // A peer that stalls in the middle of a line is reset at the stop; one that sends its last
  // line without a line feed and closes its side has a whole report, stored.
  const int staller = connectToCollector();
  ASSERT_EQ(::send(staller, "S,", 2, MSG_NOSIGNAL), 2);
  const int closed = connectToCollector();
  ASSERT_EQ(::send(closed, "P6,1", 4, MSG_NOSIGNAL), 4);
  ASSERT_EQ(::shutdown(closed, SHUT_WR), 0);
  ASSERT_TRUE(eventually([&] { return deviceFile("P6.csv") == "TS,P6,1\n"; }));
  const auto signalled = std::chrono::steady_clock::now();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(exitStatus(pid), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(12));
  EXPECT_TRUE(finishReport(waiting, ""));
  EXPECT_TRUE(closedInOrder(closed));
  EXPECT_FALSE(closedInOrder(staller));
  EXPECT_EQ(deviceFile("W.csv"), "TS,W,1\n");
  EXPECT_EQ(deviceFile("P6.csv"), "TS,P6,1\n");
  for (const int fd : idle) {
    ::close(fd);
  }
}

} // namespace
