// The fleet view's program on real device files in temporary directories: its exit status,
// what it says on standard error, the files it writes or refuses, clock changes and memory.

#include "fleet_fixture.hpp"
#include "harness.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using namespace fleet_fixture;
using harness::readFile;

namespace {

class FleetView : public ::testing::Test {
protected:
  void SetUp() override {
    fs::create_directory(dir / "log");
  }
  fs::path write(const std::string &name, const std::string &contents,
                 std::int64_t modifiedAgo = 0) const {
    return temp.write("log/" + name, contents, modifiedAgo);
  }
  // Runs the real program in `dir`; its exit status, standard output and standard error.
  struct Run {
    int status;
    std::string out, err;
  };
  Run run(const std::string &args) const {
    return shell(FLEET_BINARY " " + args + " >out");
  }
  // Runs a shell command line in `dir`, its standard error in dir/err.
  Run shell(const std::string &command) const {
    const std::string line = "cd " + dir.string() + " && " + command + " 2>err";
    const int status = std::system(line.c_str());
    return {WEXITSTATUS(status), readFile(dir / "out"), readFile(dir / "err")};
  }
  TempDir temp;
  const fs::path &dir = temp.path();
};

TEST_F(FleetView, TellsTheOperatorAndMonitoringWhoIsStale) {
  EXPECT_EQ(run("").status, 2) << "no device at all";
  write("C.csv", record(2 * day, "C,7,8"));
  write("B.csv", record(3 * 3600L, "B,1"));
  write("A.csv", record(5, "A,1"));
  fs::create_directory(dir / "log" / "x.csv");
  const Run result = run("--stale 30m");
  std::istringstream lines(result.out);
  std::vector<std::string> rows;
  for (std::string line; std::getline(lines, line);) {
    rows.push_back(line.substr(0, line.find("  ")));
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"DEVICE", "C", "B", "A",
                                            "3 devices, 2 stale (no record for 30m)"}));
  EXPECT_NE(result.out.find("2d  STALE  7,8\n"), std::string::npos) << result.out;
  EXPECT_EQ(result.err,
            "report-collector-fleet: skipped log/x.csv: a directory, not a device file\n");
  EXPECT_EQ(result.status, 1);
}

TEST_F(FleetView, WhatCannotBeReadOrWrittenIsAFailure) {
  write("A.csv", record(5, "A,1"));
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::create_directory(dir / "unsearchable");
  fs::permissions(dir / "unsearchable", fs::perms::owner_read | fs::perms::others_read);
  fs::create_directory(dir / "secret");
  fs::permissions(temp.write("secret/S.csv", record(5, "S,1")), fs::perms::none);
  // Targets that are not regular files: nothing may be written through them.
  temp.write("target", "kept\n");
  fs::create_symlink("target", dir / "link");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0) << "no reader: writing to it would hang";
  fs::permissions(temp.write("kept.html", "the previous page\n"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("fifo", dir / "fifolink");
  struct Case {
    const char *what;
    std::string command;
    int status;
    std::string err;
  };
  const std::string fleet = "report-collector-fleet: ";
  const std::string full = ": No space left on device\n";
  const std::string closed = ": Bad file descriptor\n";
  const std::string link = ": it is a symbolic link: refused\n";
  const std::string other = ": it exists and is not a regular file: refused\n";
  const std::string view = FLEET_BINARY;
  const Case cases[] = {
      {"the table to a full device", view + " >/dev/full", 3,
       fleet + "cannot write the table" + full},
      {"the table to a closed output", view + " >&-", 3, fleet + "cannot write the table" + closed},
      {"the page to a device", view + " --html /dev/full >/dev/null", 3,
       fleet + "cannot write /dev/full" + other},
      {"the metrics to standard output", view + " --prometheus /dev/stdout >/dev/null", 3,
       fleet + "cannot write /dev/stdout" + link},
      {"the page through a link to a file", view + " --html link >/dev/null", 3,
       fleet + "cannot write link" + link},
      {"the metrics through a link to a file", view + " --prometheus link >/dev/null", 3,
       fleet + "cannot write link" + link},
      {"the page into a FIFO", view + " --html fifo >/dev/null", 3,
       fleet + "cannot write fifo" + other},
      {"the metrics into a FIFO", view + " --prometheus fifo >/dev/null", 3,
       fleet + "cannot write fifo" + other},
      {"the page through a link to a FIFO", view + " --html fifolink >/dev/null", 3,
       fleet + "cannot write fifolink" + link},
      {"the metrics through a link to a FIFO", view + " --prometheus fifolink >/dev/null", 3,
       fleet + "cannot write fifolink" + link},
      {"the fleet view's help", view + " --help >/dev/full", 3,
       fleet + "cannot write the help" + full},
      {"the fleet view's version", view + " --version >&-", 3,
       fleet + "cannot write the version" + closed},
      {"the collector's help", COLLECTOR_BINARY " --help >/dev/full", 1,
       "report-collector: cannot write the help" + full},
      {"the collector's version", COLLECTOR_BINARY " -V >&-", 1,
       "report-collector: cannot write the version" + closed},
      {"a log directory that is not there", view + " -d nowhere", 3,
       fleet + "cannot read nowhere: No such file or directory\n"},
      {"a second log directory that is not there: no view of the first alone",
       view + " -d log -d nowhere --html unwritten.html", 3,
       fleet + "cannot read nowhere: No such file or directory\n"},
      {"a wrong command line", view + " --stale 5x", 3,
       fleet + "invalid duration '5x': write it like 90s, 15m, 2h or 7d\n"
               "Try 'report-collector-fleet --help' for more information.\n"},
      {"a log directory that can be listed but not searched",
       "setpriv --reuid=nobody --regid=nogroup --clear-groups " + view + " -d unsearchable", 3,
       fleet + "cannot search unsearchable: Permission denied\n"},
      {"and so the first of two",
       "setpriv --reuid=nobody --regid=nogroup --clear-groups " + view + " -d unsearchable -d log",
       3, fleet + "cannot search unsearchable: Permission denied\n"},
      {"the table to a reader gone: the metrics are written all the same",
       "sh -c '(sleep 1; " + view + " --prometheus early.prom) | true; test -s early.prom'", 0,
       fleet + "cannot write the table: Broken pipe\n"},
      {"a page kept from others stays so", view + " --html kept.html >/dev/null", 0, ""},
      {"a device file that cannot be read is told; its time is no sign of life",
       "setpriv --reuid=nobody --regid=nogroup --clear-groups " + view + " -d secret >/dev/null", 2,
       fleet + "cannot read secret/S.csv: Permission denied\n"},
  };
  for (const Case &c : cases) {
    const Run result = shell("timeout 10 " + c.command); // a FIFO must not make it wait
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.err, c.err) << c.what;
  }
  EXPECT_EQ(readFile(dir / "target"), "kept\n");
  EXPECT_FALSE(fs::exists(dir / "unwritten.html"));
  EXPECT_EQ(fs::status(dir / "kept.html").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fs::read_symlink(dir / "link"), "target");
  EXPECT_EQ(fs::read_symlink(dir / "fifolink"), "fifo");
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(dir / "fifo")));
  for (const auto &entry : fs::directory_iterator(dir)) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << "left behind: " << entry.path();
  }
}

TEST_F(FleetView, ACheckThatCannotWorkSaysSoWhereEnginesRead) {
  write("A.csv", record(5, "A,1"));
  temp.write("bad-list", "not a list\n");
  const std::pair<const char *, std::string> cases[] = {
      {"-d nowhere --check", "FLEET UNKNOWN - cannot read nowhere: No such file or directory\n"},
      {"-d log -d nowhere --check",
       "FLEET UNKNOWN - cannot read nowhere: No such file or directory\n"},
      {"--check --devices bad-list",
       "FLEET UNKNOWN - cannot use the device list: bad-list:1: neither a [device] header, a "
       "key = value line nor a comment\n"},
      {"--stale 5x --che",
       "FLEET UNKNOWN - invalid duration '5x': write it like 90s, 15m, 2h or 7d\n"},
      {"--check --bogus", "FLEET UNKNOWN - unknown option '--bogus'\n"},
      {"--check --html /dev/full",
       "FLEET UNKNOWN - cannot write /dev/full: it exists and is not a regular file: refused; 0 "
       "of 1 out of range, 0 stale | 'A field 3'=1;;;;\n"},
      {"--check --prometheus nowhere/m.prom --html p.html",
       "FLEET UNKNOWN - cannot write nowhere/m.prom: No such file or directory; 0 of 1 out of "
       "range, 0 stale | 'A field 3'=1;;;;\n"},
  };
  for (const auto &[args, line] : cases) {
    const Run result = run(args);
    EXPECT_EQ(result.status, 3) << args;
    EXPECT_EQ(result.out.substr(0, result.out.find('\n') + 1), line) << args;
    EXPECT_NE(result.err, "") << args << ": standard error still says it";
  }
  EXPECT_EQ(run("--stale 5x").out, "") << "the table's reader gets no status line";
}

TEST_F(FleetView, APageThatCannotBeWrittenLeavesThePreviousOne) {
  const SmallFileSystem www(dir / "www", "64k");
  for (int device = 0; device < 300; ++device) {
    const std::string name = "D" + std::to_string(device);
    write(name + ".csv", record(600, name + ",1,2") + record(60, name + ",3,4"));
  }
  std::ofstream(dir / "www" / "page.html") << "the previous page\n";
  const Run full = shell("umask 022; " FLEET_BINARY " --html www/page.html >/dev/null");
  EXPECT_EQ(full.status, 3);
  EXPECT_EQ(full.err, "report-collector-fleet: cannot write www/page.html: No space left on "
                      "device\n");
  EXPECT_EQ(readFile(dir / "www" / "page.html"), "the previous page\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "www"), fs::directory_iterator()), 1)
      << "the unfinished page is left behind";

  fs::remove_all(dir / "log");
  fs::create_directory(dir / "log");
  write("A.csv", record(60, "A,1"));
  const Run written = shell("umask 022; " FLEET_BINARY " --html www/page.html >/dev/null");
  EXPECT_EQ(written.status, 0) << written.err;
  EXPECT_NE(readFile(dir / "www" / "page.html").find("<h2>A</h2>"), std::string::npos);
  EXPECT_EQ(fs::status(dir / "www" / "page.html").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read)
      << "a web server must be able to read the page, as before";
}

TEST_F(FleetView, ClockChangesRaiseNoFalseAlarms) {
  struct Case {
    const char *what;
    std::time_t now;
    std::string lastSeen;
  };
  const Case cases[] = {
      // 02:30 for the second time: the hour from 02:00 to 03:00 was written twice.
      {"autumn", 1792891800, "2026-10-25 02:29:30"},
      // 03:30, an hour after the clock skipped from 02:00 to 03:00.
      {"spring", 1774747800, "2026-03-29 03:29:30"},
  };
  const TimeZone berlin("Europe/Berlin"); // for the stamps written here
  for (const Case &c : cases) {
    fs::remove_all(dir / "log");
    fs::create_directory(dir / "log");
    // Eight boards that report every minute, for the two hours before, each file last
    // written as its last record was.
    for (int board = 1; board <= 8; ++board) {
      const std::string name = "B" + std::to_string(board);
      std::string records;
      for (std::time_t time = c.now - 7200 + 30; time < c.now; time += 60) {
        records += formatTimestamp(time) + "," + name + "," + std::to_string(board) + "\n";
      }
      write(name + ".csv", records, now - (c.now - 30));
    }
    // The program's clock is set to `now`; the files' times are left as they are. The
    // sanitizers' runtime must come first among the libraries, and faketime's comes first.
    const Run result =
        shell("TZ=Europe/Berlin NO_FAKE_STAT=1 ASAN_OPTIONS=verify_asan_link_order=0 faketime -f " +
              std::to_string(c.now - std::time(nullptr)) + "s " FLEET_BINARY " >out");
    EXPECT_EQ(result.status, 0) << c.what << "\n" << result.out << result.err;
    for (int board = 1; board <= 8; ++board) {
      // Seconds old: the program's clock runs on from `now` while it starts.
      const std::regex row("\nB" + std::to_string(board) + " +120  " + c.lastSeen +
                           " +[0-9]+s  ok ");
      EXPECT_TRUE(std::regex_search(result.out, row)) << c.what << ": B" << board << "\n"
                                                      << result.out;
    }
  }
}

// The peak memory of the largest run so far of a program this test started, with the time of
// `command`.
struct Cost {
  long peakKiB;
  double seconds;
  int status;
};
Cost measure(const std::function<int()> &command) {
  const auto start = std::chrono::steady_clock::now();
  const int status = command();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  return {usage.ru_maxrss, took.count(), status};
}

TEST_F(FleetView, MemoryStaysBoundedWhateverTheLinesHold) {
  // 5,000 boards, each with one line of 65,000 bytes, control bytes after the identifier.
  std::string control;
  for (char c = 1; c < ' '; ++c) {
    control += c == '\n' ? ' ' : c;
  }
  for (int board = 0; board < 5000; ++board) {
    const std::string head = formatTimestamp(now - 5) + ",D" + std::to_string(board) + ",";
    std::string line = head;
    while (line.size() < 64999) {
      line += control;
    }
    line.resize(64999);
    write("D" + std::to_string(board) + ".csv", line + "\n");
  }
  const Cost table = measure([&] { return run("").status; });
  const std::uintmax_t tableBytes = fs::file_size(dir / "out");
  const Cost page = measure([&] { return run("--html page.html").status; });
  std::cout << "table: " << table.peakKiB << " KiB, " << table.seconds
            << " s; with the page: " << page.peakKiB << " KiB, " << page.seconds << " s\n";
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(page.status, 0);
  EXPECT_LT(tableBytes, std::uintmax_t{2} << 20);
  EXPECT_LT(fs::file_size(dir / "page.html"), std::uintmax_t{32} << 20);
  // Generous bounds, for a loaded machine and the sanitizers' build; the README has the
  // figures of an ordinary build.
  EXPECT_LT(table.seconds, 30);
#ifndef __SANITIZE_ADDRESS__ // whose shadow memory counts too
  EXPECT_LT(table.peakKiB, 64 * 1024);
  EXPECT_LT(page.peakKiB, 64 * 1024);
#endif
}

} // namespace
