// Whatever the disk does and whatever peers send: no torn record, nothing lost in silence,
// nothing outside the log directory, and the collector keeps serving.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace harness;

namespace {

class Hardening : public CollectorTest {};

// Writes to `path` until the file system is full.
void fillUp(const fs::path &path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const std::string block(4096, 'f');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  ::close(fd);
}

TEST_F(Hardening, AFullDiskTearsNoRecordAndStoringResumes) {
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  fs::create_directory(dir / "log");
  ASSERT_EQ(::mount("tmpfs", (dir / "log").c_str(), "tmpfs", 0, "size=64k"), 0);
  start();
  sendReport("A,first\n");
  fillUp(dir / "log" / "filler");
  // The last page of A.csv has room for the start of this record, the disk for no more.
  EXPECT_FALSE(sendReport("A," + std::string(6000, 'x') + "\n")) << "a reset, not a close";
  const std::string lost = "Exception: record not stored in log/A.csv: No space left on device\n"
                           "Exception: reset the connection of 127.0.0.1: its report was not "
                           "stored in full\n";
  EXPECT_EQ(errOnceItIs(lost), lost);
  EXPECT_EQ(deviceFile("A.csv"), "TS,A,first\n");

  fs::remove(dir / "log" / "filler");
  sendReport("A,second\n");
  EXPECT_EQ(deviceFile("A.csv"), "TS,A,first\nTS,A,second\n");
  ::umount((dir / "log").c_str());
}

// The process that `parent` started, such as the collector under strace.
pid_t childOf(pid_t parent) {
  pid_t child = 0;
  eventually([&] {
    std::ifstream(fs::path("/proc") / std::to_string(parent) / "task" / std::to_string(parent) /
                  "children") >>
        child;
    return child > 0;
  });
  return child;
}

TEST_F(Hardening, AnAcceptErrorOfOnePeerStopsNothing) {
  // Accept passes on the network errors of one connection; strace makes the first accept
  // return one. LeakSanitizer cannot look for leaks under strace, and would fail the exit of
  // a sanitizer build.
  pid = startCollector(dir, {}, {},
                       {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f",
                        "-qq", "-o", "/dev/null", "-e", "trace=accept4", "-e",
                        "inject=accept4:error=EHOSTUNREACH:when=1"});
  waitUntilListening(dir);
  const pid_t collector = childOf(pid);
  EXPECT_TRUE(sendReport("A,1\n"));
  EXPECT_TRUE(sendReport("A,2\n"));
  EXPECT_EQ(deviceFile("A.csv"), "TS,A,1\nTS,A,2\n");
  const std::string refused = "Exception: accept: No route to host\n";
  EXPECT_EQ(errOnceItIs(refused), refused);
  ASSERT_GT(collector, 0);
  ::kill(collector, SIGTERM);
  EXPECT_EQ(exitStatus(pid), 0); // strace ends with the collector's status
}

// With --sync, the system calls show every receipt (our shutdown, or the orderly close that
// turns the reset off) after a sync that covers its record: fdatasync of its file, and fsync
// of the directory that got the file, or one syncfs. The first fdatasync fails: that board
// is reset, and the operator told.
TEST_F(Hardening, WithSyncEveryReceiptFollowsTheSyncOfItsRecord) {
  const std::string trace = (dir / "trace").string();
  pid = startCollector(dir, {}, {"--sync"},
                       {"/usr/bin/env", "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/strace", "-f",
                        "-qq", "-yy", "-s", "64", "-o", trace, "-e",
                        "trace=recvfrom,write,fdatasync,fsync,syncfs,shutdown,setsockopt", "-e",
                        "inject=fdatasync:error=EIO:when=1"});
  waitUntilListening(dir);
  EXPECT_FALSE(sendReport("L,lost\n"));
  const std::string lost = "Exception: records not synced to disk in log/L.csv: Input/output "
                           "error\nException: reset the connection of 127.0.0.1: its report "
                           "was not stored in full\n";
  EXPECT_EQ(errOnceItIs(lost), lost);
  std::vector<std::thread> boards; // some close their side, some wait for the receipt
  for (int b = 0; b < 12; ++b) {
    boards.emplace_back([b] {
      const int fd = connectToCollector();
      const std::string line = "S" + std::to_string(b % 4) + ",r" + std::to_string(b) + "\n";
      EXPECT_EQ(::send(fd, line.data(), line.size(), MSG_NOSIGNAL), ssize_t(line.size()));
      EXPECT_TRUE(b % 2 == 0 ? finishReport(fd, "") : closedInOrder(fd)) << line;
    });
  }
  for (auto &board : boards) {
    board.join();
  }
  ::kill(childOf(pid), SIGTERM);
  EXPECT_EQ(exitStatus(pid), 0);

  const std::string peer = R"(\(\d+<TCP:\[[^\]]*->([^\]]+)\]>, )";
  const std::regex received("recvfrom" + peer + R"("([^\\"]+))"),
      written(R"(write\(\d+<([^>]+\.csv)>, "\d{14},([^\\"]+))"),
      synced(R"((fdatasync|fsync|syncfs)\(\d+<([^>]+)>\) = 0)"),
      receipt("(shutdown|setsockopt)" + peer + "(SHUT_WR|SOL_SOCKET, SO_LINGER, .l_onoff=0)");
  std::map<std::string, std::string> recordOf;        // of a peer, by its address and port
  std::map<std::string, std::set<std::string>> needs; // what a record waits for: file, directory
  std::map<std::string, std::string> fileOf;
  std::set<std::string> receipted; // peers
  std::istringstream lines(readFile(trace));
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, received)) {
      recordOf[m[1]] = m[2];
    } else if (std::regex_search(line, m, written)) {
      const bool made = std::none_of(fileOf.begin(), fileOf.end(),
                                     [&](const auto &record) { return record.second == m[1]; });
      fileOf[m[2]] = m[1];
      needs[m[2]] = {m[1].str()};
      if (made) {
        needs[m[2]].insert(fs::path(m[1].str()).parent_path().string());
      }
    } else if (std::regex_search(line, m, synced)) {
      for (auto &[record, paths] : needs) {
        m[1] == "syncfs" ? paths.clear() : (void)paths.erase(m[2]);
      }
    } else if (std::regex_search(line, m, receipt)) {
      receipted.insert(m[2]);
      EXPECT_TRUE(needs.at(recordOf.at(m[2])).empty()) << "before its sync: " << line;
    }
  }
  EXPECT_EQ(receipted.size(), 12U);
}

// A peer's connection closes in order only when every line it sent is stored; else it is
// reset, and the operator is told. The files keep the bytes as sent; the console shows no
// control byte raw.
TEST_F(Hardening, AnOrderlyCloseMeansEverythingSentIsStored) {
  fs::create_directories(dir / "log" / "DIR.csv");
  std::ofstream(dir / "elsewhere") << "";
  fs::create_symlink(dir / "elsewhere", dir / "log" / "LINK.csv");
  std::string burst; // ten lines of 89 bytes, in one write
  for (char line = '0'; line <= '9'; ++line) {
    burst += std::string("x,BURST,") + line + "," + std::string(78, 'v') + "\n";
  }
  std::string overflow; // more than one report may hold, each line whole
  while (overflow.size() < 70000) {
    overflow += "x,OVER," + std::string(90, 'o') + "\n";
  }
  const std::string escapes = "\x1b]0;pwned\a\x1b[2J\x1b[31m";
  const std::string header = "PROXY TCP4 192.0.2.7 127.0.0.1 40000 999\r\n";
  const char *proxy = "127.0.0.2";
  const struct {
    const char *what;
    std::string sent;
    bool delivered;
    std::string said;
    const char *from = nullptr;
  } cases[] = {
      {"a burst in one write", burst, true, ""},
      {"control bytes", "ESC," + escapes + "\n", true, ""},
      {"a directory in the device file's place", "DIR,1\n", false,
       "cannot open log/DIR.csv: Is a directory"},
      {"a link in the device file's place", "LINK,1\n", false,
       "cannot open log/LINK.csv: a symbolic link, which is not followed"},
      {"a last line ended by the peer's close", "F,1\nx,F,2", true, ""},
      {"a tail after a NUL", std::string("N,1\n\0N,2\n", 9), false,
       "dropped 3 bytes from 127.0.0.1 after a NUL byte"},
      {"a line that names no device", "S,1\nshort\n", false,
       "dropped 1 line from 127.0.0.1 that name no device"},
      // What arrives after the collector has read its fill is counted only if it was there.
      {"beyond a report's limit", overflow, false, "bytes from 127.0.0.1"},
      // A PROXY header is only bytes of a report but from a proxy, which must send one.
      {"a PROXY header not from a proxy", header + "x,UNTRUSTED\n", false,
       "dropped 1 line from 127.0.0.1 that name no device"},
      {"a proxy's health check", std::string("\r\n\r\n\0\r\nQUIT\n\x20\0\0\0", 16), true, "",
       proxy},
      {"a proxy's report without a header", "T,1\n", false,
       "reset the connection of 127.0.0.2 (--proxy-from): no PROXY protocol header", proxy},
      {"a proxy's header cut short", header.substr(0, 20), false,
       "reset the connection of 127.0.0.2 (--proxy-from): its PROXY header cut short after 20 "
       "bytes",
       proxy},
  };
  start({"--proxy-from=127.0.0.2"});
  for (const auto &c : cases) {
    EXPECT_EQ(finishReport(connectToCollector(999, c.from), c.sent), c.delivered) << c.what;
    EXPECT_TRUE(stderrHas(c.said)) << c.what;
  }
  const auto stored = storedRecords(dir);
  std::istringstream lines(burst);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(stored.count(line) + stored.count(line.substr(2)), 1U) << line;
  }
  EXPECT_EQ(readFile(dir / "elsewhere"), "");
  EXPECT_EQ(deviceFile("ESC.csv"), "TS,ESC," + escapes + "\n");
  EXPECT_EQ(deviceFile("F.csv"), "TS,F,1\nx,F,2\n");
  EXPECT_EQ(deviceFile("N.csv"), "TS,N,1\n");
  EXPECT_EQ(deviceFile("S.csv"), "TS,S,1\n");
  EXPECT_EQ(deviceFile("OVER.csv").size() % 98, 0U) << "whole lines only";
  ::kill(pid, SIGTERM);
  EXPECT_EQ(exitStatus(pid), 0);
  EXPECT_EQ(out().find_first_of("\x1b\a"), std::string::npos);
  EXPECT_NE(withoutTimestamps(out()).find("TS,ESC,\\x1b]0;pwned\\x07\\x1b[2J\\x1b[31m"),
            std::string::npos);
  std::istringstream errors(err());
  int resets = 0;
  for (std::string line; std::getline(errors, line);) {
    resets += line == "Exception: reset the connection of 127.0.0.1: its report was not stored "
                      "in full";
  }
  EXPECT_EQ(resets, 6) << err();
}

TEST_F(Hardening, KillNineLeavesOnlyWholeLinesOnceStartedAgain) {
  start();
  ReportStream stream(4, INT_MAX, 3000);
  ASSERT_TRUE(eventually([&] { return stream.sent() > 300; }));
  ::kill(pid, SIGKILL);
  stream.join();
  // The kernel may cut a long write short when the process is killed: started again, the
  // collector cuts away the start of a record that was never acknowledged.
  EXPECT_EQ(exitStatus(pid), 128 + SIGKILL);
  start();
  for (const auto &entry : fs::directory_iterator(dir / "log")) {
    const std::string contents = readFile(entry.path());
    EXPECT_TRUE(!contents.empty() && contents.back() == '\n')
        << entry.path() << (contents.empty() ? ": empty, yet it had records" : ": torn");
  }
  const auto stored = storedRecords(dir);
  for (const auto &record : stored) {
    EXPECT_EQ(stream.attempted.count(record), 1U) << "torn: " << record.substr(0, 40);
  }
  for (const auto &record : stream.acknowledged) {
    EXPECT_EQ(stored.count(record), 1U) << "acknowledged, not stored: " << record.substr(0, 40);
  }
}

std::size_t openDescriptors(pid_t pid) {
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  return std::distance(fs::directory_iterator(fds), fs::directory_iterator());
}

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

// While every place is taken, a newcomer takes the place of a connection that already has
// its receipt, else of the one that has waited longest for a whole line, which is reset.
TEST_F(Hardening, ANewcomerTakesThePlaceOfTheLongestWaiter) {
  // Descriptors for four places, beyond those the collector keeps for itself.
  pid = startCollector(dir, [] {
    const rlimit fewFiles{20, 20};
    check(::setrlimit(RLIMIT_NOFILE, &fewFiles) == 0, "setrlimit");
  });
  waitUntilListening(dir);
  const auto descriptors = openDescriptors(pid);
  const int receipted = connectToCollector(); // has its receipt, and keeps its connection
  ASSERT_EQ(::send(receipted, "R,1\n", 4, MSG_NOSIGNAL), 4);
  char end = 0;
  ASSERT_EQ(::recv(receipted, &end, 1, 0), 0);
  std::vector<int> stallers;
  const auto stall = [&](const char *begun) {
    stallers.push_back(connectToCollector());
    ::send(stallers.back(), begun, 3, MSG_NOSIGNAL);
  };
  for (const char *begun : {"S1,", "S2,", "S3,"}) {
    stall(begun);
    ASSERT_TRUE(
        eventually([&] { return openDescriptors(pid) == descriptors + stallers.size() + 1; }));
  }
  EXPECT_TRUE(sendReport("B,1\n"));
  EXPECT_TRUE(closedInOrder(receipted));
  stall("S4,");
  ASSERT_TRUE(eventually([&] { return openDescriptors(pid) == descriptors + 4; }));
  EXPECT_TRUE(sendReport("B,2\n"));
  EXPECT_FALSE(closedInOrder(stallers[0]));
  EXPECT_EQ(deviceFile("B.csv"), "TS,B,1\nTS,B,2\n");
  for (const char *told :
       {"closed 1 whose lines were stored, reset 0", "closed 0 whose lines were stored, reset 1"}) {
    EXPECT_TRUE(stderrHas(std::string("Exception: all 4 places for connections were taken: ") +
                          told + " that had waited longest for a whole line"))
        << err();
  }
  for (std::size_t staller = 1; staller < stallers.size(); ++staller) {
    ::close(stallers[staller]);
  }
}

// A board whose connection is reset, by its stack or its link, after some of its report:
// the whole lines that came before the reset are stored, a line begun is not, even where the
// reset came just after a whole read's worth of lines.
TEST_F(Hardening, AResetStoresTheWholeLinesBeforeItAndNothingBegun) {
  std::string chunk = "RS,0\n"; // whole lines that fill the collector's reads exactly
  while (chunk.size() < 16384) {
    chunk += "x,RS," + std::string(std::min<std::size_t>(16384 - chunk.size() - 6, 40), '.') + "\n";
  }
  const struct {
    const char *device;
    std::string sent, stored;
    std::chrono::milliseconds pause; // before the reset
  } cases[] = {
      {"TORN", "TORN,21.5,4", "", std::chrono::milliseconds(100)},
      {"LATER", "LATER,1\nx,LATER,hal", "TS,LATER,1\n", std::chrono::milliseconds(100)},
      {"RS", chunk, "TS," + chunk, std::chrono::milliseconds(0)}, // read with the reset
  };
  start();
  for (const auto &c : cases) {
    const int fd = connectToCollector();
    ASSERT_EQ(::send(fd, c.sent.data(), c.sent.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.sent.size()));
    std::this_thread::sleep_for(c.pause);
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(fd);
    EXPECT_TRUE(sendReport("Z,after\n")); // served once the reset is taken
    EXPECT_EQ(deviceFile(c.device + std::string(".csv")), c.stored) << c.device;
  }
  EXPECT_EQ(deviceFile("Z.csv"), "TS,Z,after\nTS,Z,after\nTS,Z,after\n");
}

// One of each kind of bad peer, in turn.
void sendBadPeer(int turn, std::mt19937 &random) {
  switch (turn % 8) {
  case 0: { // silent for a while, then gone
    const int fd = connectToCollector();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::close(fd);
    break;
  }
  case 1:
    sendReport("big," + std::string(70000, 'o'));
    break;
  case 2:
    sendReport("");
    break;
  case 3: {
    std::string noise(1 + random() % 600, '\0');
    for (auto &c : noise) {
      c = static_cast<char>(random());
    }
    sendReport(noise);
    break;
  }
  case 4:
    sendReport("../../etc/passwd,x\n..,y\n");
    break;
  case 5:
    sendReport(std::string("nul\0,1\n", 7));
    break;
  case 6:
    sendReport("crlf,1\r\n");
    break;
  default:
    sendReport("frag,1\nfrag,2\nfr");
  }
}

TEST_F(Hardening, SoakWithBadPeers) {
  start();
  ReportStream(1, 200, 49).join(); // warm up, with records of their own
  const auto descriptors = openDescriptors(pid);
  [[maybe_unused]] const long resident = residentKiB(pid);

  const int silent = connectToCollector(); // one peer that the time limit must drop
  ReportStream stream(4, 10000, 50);
  std::thread bad([&] {
    std::mt19937 random(42);
    for (int turn = 0; stream.sent() < 10000; ++turn) {
      sendBadPeer(turn, random);
    }
  });
  stream.join();
  bad.join();
  ::close(silent);

  EXPECT_EQ(::kill(pid, 0), 0) << "the collector died";
  EXPECT_EQ(stream.acknowledged.size(), 10000U);
  const auto stored = storedRecords(dir);
  for (const auto &record : stream.acknowledged) {
    EXPECT_EQ(stored.count(record), 1U) << "lost or doubled: " << record;
  }
  EXPECT_EQ(openDescriptors(pid), descriptors);
#if !defined(__SANITIZE_ADDRESS__) // its quarantine holds freed memory on purpose
  EXPECT_LT(residentKiB(pid) - resident, 1024);
#endif
  for (const auto &entry : fs::directory_iterator(dir)) {
    EXPECT_TRUE(entry.path().filename() == "log" || entry.path().filename() == "stdout" ||
                entry.path().filename() == "stderr")
        << entry.path();
  }
  EXPECT_EQ(deviceFile("crlf.csv").substr(0, 11), "TS,crlf,1\r\n");
  EXPECT_FALSE(fs::exists(dir / "log" / "big.csv"));
  EXPECT_FALSE(fs::exists(dir / "log" / "fr.csv"));
}

} // namespace
