// The real report-collector, on port 999 of a private network namespace.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace harness;

namespace {

class ReportPath : public CollectorTest {};

TEST_F(ReportPath, EchoesAndStoresEachReport) {
  start();
  sendReport("AA:BB:CC:DD:EE:FF,21.5,40\n");
  sendReport("AA:BB:CC:DD:EE:FF,21.6,41\n");
  sendReport("P,Q\nR,S\n");
  const std::string echoes = "Server listening on 0.0.0.0 local end port 999\n\n"
                             "Connection from: 127.0.0.1\n"
                             "TS,AA:BB:CC:DD:EE:FF,21.5,40\n\n"
                             "Connection from: 127.0.0.1\n"
                             "TS,AA:BB:CC:DD:EE:FF,21.6,41\n\n"
                             "Connection from: 127.0.0.1\n"
                             "TS,P,Q\nR,S\n\n";
  EXPECT_EQ(outOnceItIs(echoes), echoes);
  EXPECT_EQ(deviceFile("AABBCCDDEEFF.csv"),
            "TS,AA:BB:CC:DD:EE:FF,21.5,40\nTS,AA:BB:CC:DD:EE:FF,21.6,41\n");
  EXPECT_EQ(deviceFile("P.csv"), "TS,P,Q\n");
  EXPECT_EQ(deviceFile("S.csv"), "R,S\n");
  EXPECT_EQ(err(), "");
}

// One listener on "::" takes boards over IPv6 and over IPv4, each shown as it came.
TEST_F(ReportPath, ADualStackListenerTakesIpv6AndIpv4) {
  start({"--listen=::"});
  const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 loopback{};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_port = htons(999);
  loopback.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::connect(v6, reinterpret_cast<const sockaddr *>(&loopback), sizeof loopback), 0);
  const std::string overIpv6 = "AA:BB,6\n";
  ASSERT_EQ(::send(v6, overIpv6.data(), overIpv6.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(overIpv6.size()));
  ::shutdown(v6, SHUT_WR);
  EXPECT_TRUE(closedInOrder(v6));
  sendReport("AA:BB,4\n");
  const std::string echoes = "Server listening on :: local end port 999\n\n"
                             "Connection from: ::1\nTS,AA:BB,6\n\n"
                             "Connection from: 127.0.0.1\nTS,AA:BB,4\n\n";
  EXPECT_EQ(outOnceItIs(echoes), echoes);
  EXPECT_EQ(deviceFile("AABB.csv"), "TS,AA:BB,6\nTS,AA:BB,4\n");
}

// Each of these ends one connection, with one line on standard error, and the collector
// goes on serving.
TEST_F(ReportPath, SurvivesBadPeers) {
  struct Case {
    const char *what;
    std::string sent, stderrLine, stored;
  };
  const std::string longLine = "L," + std::string(70000, 'x') + "\n";
  const std::string reset =
      "Exception: reset the connection of 127.0.0.1: its report was not stored in full\n";
  const Case cases[] = {
      {"closed having sent nothing", "", "Exception: read_until: End of file\n", ""},
      {"no line feed before close", "U,1", "", "TS,U,1\n"},
      {"oversized line", longLine, "Exception: read_until: Message too long\n", ""},
      {"refused identifier", "..,1\n",
       "Exception: refused device identifier \"..\": it would name a file outside the log "
       "directory\n" +
           reset,
       ""},
      {"control byte in identifier", "a\x1b[2J,1\n",
       "Exception: refused device identifier \"a\\x1b[2J\": it would name a file outside the log "
       "directory\n" +
           reset,
       ""},
  };
  start();
  for (const auto &c : cases) {
    const auto before = err().size();
    sendReport(c.sent);
    EXPECT_TRUE(sendReport("Z,ok\n")); // served only after the bad peer's connection is over
    EXPECT_EQ(onceItIs([&] { return err().substr(before); }, c.stderrLine), c.stderrLine) << c.what;
  }
  EXPECT_EQ(deviceFile("U.csv"), "TS,U,1\n");
  EXPECT_FALSE(fs::exists(dir / "log" / "L.csv"));
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"log", "stderr", "stdout"})) << "nothing outside log";
}

// Peers that say nothing, stall in the middle of a line or trickle it, from the boards' own
// address (neighbours behind one router) or from many others, hold up no board: each waits in
// a place of its own, and is reset once its report's time is up with its line unfinished.
TEST_F(ReportPath, SilentStallingAndTricklingPeersHoldUpNoBoard) {
  start();
  const int silent = connectToCollector();
  std::vector<int> stallers;
  for (const char *sent : {"F,1\nx,G\nH,", "Q,"}) {
    stallers.push_back(connectToCollector());
    ::send(stallers.back(), sent, std::strlen(sent), MSG_NOSIGNAL);
  }
  std::vector<int> tricklers;
  for (int host = 10; host < 40; ++host) {
    tricklers.push_back(connectToCollector(999, ("127.0.0." + std::to_string(host)).c_str()));
  }
  std::atomic<bool> boardsDone{false};
  std::thread trickle([&] {
    while (!boardsDone) {
      for (const int fd : tricklers) {
        ::send(fd, "t", 1, MSG_NOSIGNAL);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  const auto begin = std::chrono::steady_clock::now();
  for (const char *report : {"B,1", "B,2", "B,3"}) {
    // A board sends its line in two pieces and waits for its receipt, without closing its side.
    const int fd = connectToCollector();
    ::send(fd, report, std::strlen(report), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ::send(fd, "\n", 1, MSG_NOSIGNAL);
    EXPECT_TRUE(closedInOrder(fd)) << report;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5))
      << "no board waits for another peer's line";
  boardsDone = true;
  trickle.join();
  EXPECT_EQ(deviceFile("B.csv"), "TS,B,1\nTS,B,2\nTS,B,3\n");
  stallers.insert(stallers.end(), tricklers.begin(), tricklers.end());
  for (const int fd : stallers) {
    EXPECT_FALSE(closedInOrder(fd)) << "reset, its line unfinished";
  }
  EXPECT_TRUE(stderrHas("Exception: dropped 2 bytes from 127.0.0.1 after the last line feed"));
  EXPECT_TRUE(stderrHas("bytes from 127.0.0.39 after the last line feed"));
  EXPECT_EQ(deviceFile("F.csv"), "TS,F,1\n");
  EXPECT_EQ(deviceFile("G.csv"), "x,G\n");
  EXPECT_FALSE(fs::exists(dir / "log" / "H.csv"));
  EXPECT_FALSE(fs::exists(dir / "log" / "Q.csv"));
  ::close(silent);
}

TEST_F(ReportPath, ServesASlowHonestBoardWhenNoneWaits) {
  start();
  const int silent = connectToCollector(); // held by the kernel until it says something
  std::thread slow([] {
    const int fd = connectToCollector();
    for (const char *piece : {"SLOW", ",1", "\n"}) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
      ::send(fd, piece, std::strlen(piece), MSG_NOSIGNAL);
    }
    EXPECT_TRUE(finishReport(fd, ""));
  });
  slow.join();
  EXPECT_EQ(err(), "");
  EXPECT_EQ(deviceFile("SLOW.csv"), "TS,SLOW,1\n");
  ::close(silent);
}

// A board that sends its report in pieces and waits for its receipt, without closing its
// side, has every line stored that reaches the collector within the report's time: after a
// pause between lines, after the receipt itself, and on a slow link.
TEST_F(ReportPath, LinesThatComeLaterAreStoredWithinTheReportsTime) {
  ASSERT_EQ(std::system("ip link set lo mtu 1500"), 0);
  const std::string fast = "rate 1mbit burst 4kb latency 50ms";
  std::string slowLink = "SLOWLINK,0\n"; // 22 KB: many segments, 180 ms at 1 Mbit/s
  for (int line = 1; line <= 1000; ++line) {
    slowLink += "x,SLOWLINK," + std::to_string(line) + ",.........\n";
  }
  std::string lines16k; // three lines of 60 bytes
  for (const char *line : {"LINES16K,1,", "x,LINES16K,2,", "x,LINES16K,3,"}) {
    lines16k += line + std::string(59 - std::strlen(line), '.') + "\n";
  }
  const struct {
    const char *device;
    std::vector<std::string> pieces;
    std::chrono::milliseconds pause;
    std::string link, stored;
    int reports = 1; // one after another: a link's burst allowance is spent after the first
  } cases[] = {
      {"P1", {"A,1\n", "x,P1,2\n"}, std::chrono::milliseconds(1), fast, "x,P1,2\n"},
      {"P30", {"A,1\n", "x,P30,2\n"}, std::chrono::milliseconds(30), fast, "x,P30,2\n"},
      {"P60", {"A,1\n", "x,P60,2\n"}, std::chrono::milliseconds(60), fast, "x,P60,2\n"},
      {"P300", {"A,1\n", "x,P300,2\n"}, std::chrono::milliseconds(300), fast, "x,P300,2\n"},
      {"P2000", {"A,1\n", "x,P2000,2\n"}, std::chrono::milliseconds(2000), fast, "x,P2000,2\n"},
      {"SLOWLINK", {slowLink}, std::chrono::milliseconds(0), fast, "TS," + slowLink},
      // Each line in a segment of its own on a 16 kbit/s link: the next is still on its way
      // when the quiet time after the first has passed.
      {"LINES16K",
       {lines16k.substr(0, 60), lines16k.substr(60, 60), lines16k.substr(120)},
       std::chrono::milliseconds(0),
       "rate 16kbit burst 1600 latency 2s",
       "TS," + lines16k,
       4},
  };
  start();
  for (const auto &c : cases) {
    ASSERT_EQ(std::system(("tc qdisc replace dev lo root tbf " + c.link).c_str()), 0);
    std::string stored;
    for (int report = 0; report < c.reports; ++report) {
      const int fd = connectToCollector();
      const int on = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      for (const auto &piece : c.pieces) {
        std::this_thread::sleep_for(c.pause);
        ASSERT_EQ(::send(fd, piece.data(), piece.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(piece.size()));
      }
      EXPECT_TRUE(closedInOrder(fd)) << c.device;
      stored += c.stored;
    }
    const auto file = [&] {
      return deviceFile(c.device + std::string(".csv"));
    };
    EXPECT_EQ(onceItIs(file, stored), stored) << c.device;
  }
  EXPECT_EQ(err(), "");
}

// A log directory that cannot be made, or an address to listen on that cannot be used, is
// found before any board is told anything.
TEST_F(ReportPath, EndsWithStatusOneBeforeListeningWithoutALogDirectoryOrAddress) {
  std::ofstream(dir / "log") << "in the way";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{}, "Exception: filesystem error: create_directory: File exists [log]\n"},
      {{"-d", "no/such/dir"},
       "Exception: filesystem error: create_directory: No such file or directory [no/such/dir]\n"},
      {{"-d", ".", "--listen=192.0.2.300"},
       "Exception: invalid listen address '192.0.2.300': neither an IPv4 nor an IPv6 address\n"},
      {{"-d", ".", "-l", "2001:db8::20"}, "Exception: bind: Cannot assign requested address\n"},
  };
  for (const auto &c : cases) {
    pid = startCollector(dir, {}, c.args);
    EXPECT_EQ(exitStatus(pid), 1);
    EXPECT_EQ(err(), c.err);
    EXPECT_EQ(out().find("Server listening"), std::string::npos);
  }
  pid = -1;
}

TEST_F(ReportPath, EndsWithStatusOneWhenThePortIsHeld) {
  const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(999);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  pid = startCollector(dir);
  EXPECT_EQ(exitStatus(pid), 1);
  EXPECT_EQ(err(), "Exception: bind: Address already in use\n");
  EXPECT_EQ(out(), "");
  ::close(holder);
}

TEST_F(ReportPath, ConcurrentSendersLoseNothingAndTearNothing) {
  start();
  ReportStream stream(4, 600, 100);
  stream.join();
  EXPECT_EQ(stream.acknowledged.size(), 600U);
  EXPECT_EQ(storedRecords(dir),
            std::multiset<std::string>(stream.acknowledged.begin(), stream.acknowledged.end()));
}

} // namespace
