// The board header of boards/ on the host, through a Client on real sockets, against the real
// collector: what a board learns from the collector's close, and when it sends again.

#include "harness.hpp"
#include "posix_client.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

using namespace harness;
namespace rc = report_collector;

namespace {

std::function<void()> onPause; // what a test does while the board waits

} // namespace

namespace report_collector::platform {

unsigned long now() {
  return static_cast<unsigned long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

void pause(unsigned long ms) {
  if (onPause) {
    std::exchange(onPause, nullptr)();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long randomBelow(long bound) {
  static std::mt19937 random{std::random_device{}()};
  return std::uniform_int_distribution<long>(0, bound - 1)(random);
}

} // namespace report_collector::platform

namespace {

using Board = CollectorTest;

rc::Result send(const char *report) {
  rc::Settings settings;
  settings.tries = 3;
  settings.firstBackOffMs = 50;
  PosixClient client;
  return rc::sendReport(client, "localhost", report, settings);
}

TEST_F(Board, StoredAtTheFirstTry) {
  start();
  const rc::Result result = send("AA:BB,1\n");
  EXPECT_EQ(result.ending, rc::Ending::stored);
  EXPECT_EQ(result.tries, 1);
  EXPECT_EQ(deviceFile("AABB.csv"), "TS,AA:BB,1\n");
}

TEST_F(Board, TriesThenGivesUpWhenRefusedOrUnheard) {
  std::ofstream(dir / "devices") << "[AA:BB]\n";
  start({"--devices", "devices"});
  const rc::Result refused = send("CC:DD,1\n");
  EXPECT_EQ(refused.ending, rc::Ending::reset);
  EXPECT_EQ(refused.tries, 3);
  EXPECT_TRUE(stderrHas("refused device identifier \"CC:DD\""));
  killCollector(pid);
  pid = -1;
  const rc::Result unheard = send("AA:BB,1\n");
  EXPECT_EQ(unheard.ending, rc::Ending::noConnection);
  EXPECT_EQ(unheard.tries, 3);
  EXPECT_FALSE(std::filesystem::exists(dir / "log" / "CCDD.csv"));
  EXPECT_FALSE(std::filesystem::exists(dir / "log" / "AABB.csv"));
}

// The collector dies with the report unread: the connection is reset, and the board sends
// its report again to the collector that takes its place.
TEST_F(Board, SendsAgainAfterAResetInTheMiddleOfAReport) {
  start();
  ::kill(pid, SIGSTOP);
  ASSERT_TRUE(eventually([&] {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.find(") T ") != std::string::npos;
  }));
  onPause = [&] { // the first pause is in the wait for the receipt
    killCollector(pid);
    start();
  };
  const rc::Result result = send("AA:BB,2\n");
  EXPECT_EQ(result.ending, rc::Ending::stored);
  EXPECT_EQ(result.tries, 2);
  EXPECT_EQ(deviceFile("AABB.csv"), "TS,AA:BB,2\n");
}

} // namespace
