// The real report-collector as an operator runs it: options, a console that goes away,
// and a system that runs out of descriptors.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace harness;

namespace {

class Service : public CollectorTest {};

const std::string hint = "Try 'report-collector --help' for more information.\n";

TEST_F(Service, AnswersTheCommandLineAndStartsNothingOnAUsageError) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string outStart, err;
  };
  const Case cases[] = {
      {{"--help"}, 0, "Usage: report-collector [OPTION]...\n", ""},
      {{"-V"}, 0, "report-collector 1.0.0\n", ""},
      {{"--bogus"}, 2, "", "report-collector: unknown option '--bogus'\n" + hint},
      {{"-x"}, 2, "", "report-collector: unknown option '-x'\n" + hint},
      {{"-p"}, 2, "", "report-collector: option '-p' requires a value\n" + hint},
      {{"--log-dir"}, 2, "", "report-collector: option '--log-dir' requires a value\n" + hint},
      {{"--port=http"},
       2,
       "",
       "report-collector: invalid port 'http': a number from 1 to 65535 is needed\n" + hint},
      {{"-p", "0"},
       2,
       "",
       "report-collector: invalid port '0': a number from 1 to 65535 is needed\n" + hint},
      {{"-p", "65536"},
       2,
       "",
       "report-collector: invalid port '65536': a number from 1 to 65535 is needed\n" + hint},
      {{"-d", "x", "stray"}, 2, "", "report-collector: unexpected argument 'stray'\n" + hint},
      {{"--devices"}, 2, "", "report-collector: option '--devices' requires a value\n" + hint},
      {{"--devices="}, 2, "", "report-collector: the device list's file name is empty\n" + hint},
      {{"--proxy-from=10.0.0.0/33"},
       2,
       "",
       "report-collector: invalid proxy address '10.0.0.0/33': an IPv4 or IPv6 address is "
       "needed, with /PREFIX optionally (0 to 32 bits for IPv4, to 128 for IPv6)\n" +
           hint},
  };
  for (const auto &c : cases) {
    const std::string what = c.args.front();
    pid = startCollector(dir, {}, c.args);
    EXPECT_EQ(exitStatus(pid), c.status) << what;
    EXPECT_EQ(out().substr(0, c.outStart.size()), c.outStart) << what;
    EXPECT_EQ(err(), c.err) << what;
    EXPECT_FALSE(fs::exists(dir / "log") || fs::exists(dir / "x")) << what;
    EXPECT_EQ(tryConnect(), -1) << what;
  }
  pid = -1;
}

TEST_F(Service, ServesOnTheChosenPortIntoTheChosenDirectory) {
  const fs::path logDir = dir / "site" / "devices";
  fs::create_directory(dir / "site");
  start({"--port=1999", "-d", logDir.string()});
  EXPECT_TRUE(sendReport("AA:BB,1\n", 1999));
  const std::string echo = "Server listening on 0.0.0.0 local end port 1999\n\n"
                           "Connection from: 127.0.0.1\nTS,AA:BB,1\n\n";
  EXPECT_EQ(outOnceItIs(echo), echo);
  EXPECT_EQ(withoutTimestamps(readFile(logDir / "AABB.csv")), "TS,AA:BB,1\n");
  EXPECT_FALSE(fs::exists(dir / "log"));
}

// `report-collector | tee console.txt`, and then tee ends.
TEST_F(Service, StoresOnWhenItsConsoleGoesAway) {
  int console[2];
  ASSERT_EQ(::pipe2(console, O_CLOEXEC), 0);
  pid = startCollector(dir, [&] { check(::dup2(console[1], 1) == 1, "dup2"); });
  ::close(console[1]);
  std::string seen;
  char chunk[512];
  for (ssize_t count = 0; seen.find("Server listening") == std::string::npos &&
                          (count = ::read(console[0], chunk, sizeof chunk)) > 0;) {
    seen.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(console[0]);
  for (const char *report : {"A,1\n", "A,2\n", "A,3\n"}) {
    EXPECT_TRUE(sendReport(report)) << report;
  }
  EXPECT_EQ(deviceFile("A.csv"), "TS,A,1\nTS,A,2\nTS,A,3\n");
  ::kill(pid, SIGTERM);
  EXPECT_EQ(exitStatus(pid), 0);
  EXPECT_EQ(err(), "");
}

// `report-collector | less`, and less is paused: storing goes on at its pace, the lines that
// the pipe cannot take are dropped, and problems still reach standard error.
TEST_F(Service, StoresOnWhenItsConsoleNeverReads) {
  const fs::path console = dir / "console";
  ASSERT_EQ(::mkfifo(console.c_str(), 0600), 0);
  const int neverRead = ::open(console.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  pid = startCollector(
      dir, [&] { check(::dup2(::open(console.c_str(), O_WRONLY | O_CLOEXEC), 1) == 1, "dup2"); });
  ASSERT_TRUE(eventually([] {
    const int fd = tryConnect();
    ::close(fd);
    return fd >= 0;
  }));
  ReportStream stream(1, 2000, 60);
  stream.join();
  EXPECT_EQ(stream.acknowledged.size(), 2000U);
  EXPECT_EQ(storedRecords(dir).size(), 2000U);
  EXPECT_FALSE(sendReport("..,1\n"));
  EXPECT_TRUE(stderrHas("refused device identifier")) << "standard error is not held up";
  ::kill(pid, SIGTERM);
  EXPECT_EQ(exitStatus(pid), 0);
  ::close(neverRead);
}

// The descriptor that the process would get next.
int lowestFreeDescriptor(pid_t pid) {
  std::set<int> open;
  for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    open.insert(std::stoi(fd.path().filename().string()));
  }
  int free = 0;
  while (open.count(free) != 0) {
    ++free;
  }
  return free;
}

// Sets the soft limit only: raising it again up to the hard limit needs no privilege.
void limitDescriptors(pid_t pid, int limit) {
  const std::string command =
      "prlimit --pid " + std::to_string(pid) + " --nofile=" + std::to_string(limit) + ":";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

TEST_F(Service, WaitsOutALackOfDescriptorsAndServesTheWaitingPeer) {
  start();
  const auto began = std::chrono::steady_clock::now();
  limitDescriptors(pid, lowestFreeDescriptor(pid)); // no room for one more
  const int waiting = connectToCollector();         // held in the backlog by the kernel
  const std::string complaint = "Exception: accept: Too many open files\n";
  ASSERT_TRUE(stderrHas(complaint)) << err();
  std::this_thread::sleep_for(std::chrono::milliseconds(2500)); // the shortage lasts
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began);
  const std::string complaints = err();
  limitDescriptors(pid, 256);
  EXPECT_TRUE(finishReport(waiting, "W,1\n"));

  EXPECT_EQ(deviceFile("W.csv"), "TS,W,1\n");
  const auto lines = static_cast<long>(std::count(complaints.begin(), complaints.end(), '\n'));
  EXPECT_LE(lines, seconds.count() + 2) << "about one line a second, not a flood";
  EXPECT_EQ(complaints.find_first_not_of(complaint), std::string::npos) << complaints;
}

} // namespace
