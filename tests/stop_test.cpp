// SIGINT and SIGTERM stop the real report-collector in good order.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using namespace harness;

namespace {

// Several senders stream reports; the signal comes in the middle of the stream.
void stopDuringAStream(int signalNumber, const std::string &name) {
  enterPrivateNetwork();
  const fs::path dir = makeTempDir();
  const pid_t pid = startCollector(dir);
  waitUntilListening(dir);

  std::mutex mutex;
  std::set<std::string> attempted, acknowledged;
  std::atomic<int> count{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < 4; ++s) {
    senders.emplace_back([&, s] {
      for (int r = 0;; ++r) {
        const int fd = tryConnect();
        if (fd < 0) {
          return; // the collector has stopped listening
        }
        const std::string record = "dev" + std::to_string(r % 7) + "," + std::to_string(s) + "-" +
                                   std::to_string(r) + "," + std::string(200, 'v');
        {
          std::lock_guard<std::mutex> lock(mutex);
          attempted.insert(record);
        }
        if (finishReport(fd, record + "\n")) {
          std::lock_guard<std::mutex> lock(mutex);
          acknowledged.insert(record);
        }
        ++count;
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return count > 200; }));
  ::kill(pid, signalNumber);
  for (auto &sender : senders) {
    sender.join();
  }
  EXPECT_EQ(exitStatus(pid), 0);
  const std::string out = readFile(dir / "stdout");
  const std::string last = "\n\nServer stopped on " + name + "\n";
  EXPECT_EQ(out.substr(out.size() - std::min(out.size(), last.size())), last);
  EXPECT_EQ(readFile(dir / "stderr"), "");

  std::set<std::string> stored;
  for (const auto &entry : fs::directory_iterator(dir / "log")) {
    std::istringstream lines(withoutTimestamps(readFile(entry.path())));
    for (std::string line; std::getline(lines, line);) {
      EXPECT_EQ(line.substr(0, 3), "TS,");
      stored.insert(line.substr(3));
    }
  }
  for (const auto &record : acknowledged) {
    EXPECT_EQ(stored.count(record), 1u) << "lost: " << record;
  }
  for (const auto &record : stored) {
    EXPECT_EQ(attempted.count(record), 1u) << "torn or invented: " << record;
  }
  fs::remove_all(dir);
}

TEST(Stop, SigtermFinishesTheReportsInHand) {
  stopDuringAStream(SIGTERM, "SIGTERM");
}

TEST(Stop, SigintFinishesTheReportsInHand) {
  stopDuringAStream(SIGINT, "SIGINT");
}

} // namespace
