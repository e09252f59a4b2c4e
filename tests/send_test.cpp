// report-collector-send against the real collector, in a private network namespace: its exit
// status and its one line on standard error for each way a report can end.

#include "harness.hpp"
#include "send/delivery.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace harness;

namespace {

class Sender : public CollectorTest {
protected:
  // Runs the sender with `args` and `input` on its standard input; its exit status and
  // standard error.
  std::pair<int, std::string> send(const std::vector<std::string> &args,
                                   const std::string &input = "") {
    std::ofstream(dir / "input", std::ios::trunc) << input;
    std::vector<std::string> command{SENDER_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    const pid_t child = ::fork();
    check(child >= 0, "fork");
    if (child == 0) {
      const int in = ::open((dir / "input").c_str(), O_RDONLY);
      const int err = ::open((dir / "sender-err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(err, 2) < 0) {
        ::_exit(127);
      }
      std::vector<char *> argv;
      argv.reserve(command.size() + 1);
      for (auto &arg : command) {
        argv.push_back(arg.data());
      }
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    const int status = exitStatus(child);
    return {status, readFile(dir / "sender-err")};
  }
};

TEST_F(Sender, ExitStatusTellsWhetherTheReportWasStored) {
  struct Case {
    const char *what;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string line; // after "report-collector-send: "
  };
  const Case cases[] = {
      {"a line, IPv4",
       {"127.0.0.1", "AA:BB,1"},
       "",
       0,
       "stored: 127.0.0.1 port 999 closed the connection in order\n"},
      {"standard input, IPv6",
       {"::1"},
       "AA:BB,2\n",
       0,
       "stored: ::1 port 999 closed the connection in order\n"},
      {"a host name",
       {"-r", "2", "localhost", "AA:BB,4\n"},
       "",
       0,
       "stored: localhost port 999 closed the connection in order\n"},
      {"not on the device list",
       {"127.0.0.1", "CC:DD,1"},
       "",
       75,
       "not stored: 127.0.0.1 port 999 reset the connection\n"},
      {"nothing listens",
       {"-p", "998", "-r", "3", "127.0.0.1", "AA:BB,5"},
       "",
       75,
       "not stored: 127.0.0.1 port 998 refused the connection (3 tries)\n"},
      {"a name that does not resolve",
       {"no-such-collector.invalid", "AA:BB,6"},
       "",
       75,
       "not stored: cannot resolve no-such-collector.invalid: "},
      {"no host", {}, "", 2, "the collector's HOST is missing\n"},
      {"bad port", {"-p", "0", "::1", "AA:BB,7"}, "", 2, "invalid port '0': "},
      {"bad tries", {"--tries=none", "::1", "AA:BB,7"}, "", 2, "invalid tries 'none': "},
      {"nothing to send", {"::1"}, "", 2, "standard input held no report\n"},
      {"two lines", {"::1", "AA:BB,7", "AA:BB,8"}, "", 2, "unexpected argument 'AA:BB,8'\n"},
  };
  std::ofstream(dir / "devices") << "[AA:BB]\n";
  start({"--listen=::", "--devices", "devices"});
  for (const auto &c : cases) {
    const auto [status, err] = send(c.args, c.input);
    EXPECT_EQ(status, c.status) << c.what;
    EXPECT_EQ(err.rfind("report-collector-send: " + c.line, 0), 0U) << c.what << ": " << err;
  }
  EXPECT_EQ(deviceFile("AABB.csv"), "TS,AA:BB,1\nTS,AA:BB,2\nTS,AA:BB,4\n");

  // A collector that takes the connection and never answers: the sender gives up in time.
  ::kill(pid, SIGSTOP);
  const auto [status, err] = send({"-t", "1", "127.0.0.1", "AA:BB,9"});
  EXPECT_EQ(status, 75);
  EXPECT_EQ(err, "report-collector-send: not stored: no receipt from 127.0.0.1 port 999 within "
                 "1 s\n");
  ::kill(pid, SIGCONT);
}

// Full jitter: anything from nothing to the ceiling, which doubles up to a minute.
TEST(SenderBackOff, DoublesUpToAMinute) {
  using std::chrono::milliseconds;
  const std::pair<int, long> ceilings[] = {
      {1, 1000}, {2, 2000}, {4, 8000}, {7, 60000}, {99, 60000}};
  for (const auto &[failed, ceiling] : ceilings) {
    EXPECT_EQ(backOff(failed, 1.0), milliseconds(ceiling)) << failed;
    EXPECT_EQ(backOff(failed, 0.5), milliseconds(ceiling / 2)) << failed;
    EXPECT_EQ(backOff(failed, 0.0), milliseconds(0)) << failed;
  }
}

} // namespace
