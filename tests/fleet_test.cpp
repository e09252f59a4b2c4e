// The fleet view on real device files in temporary directories.

#include "harness.hpp"

#include "devicelog/record_format.hpp"
#include "fleet/reading.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace harness;

namespace {

const std::time_t now = std::time(nullptr);

// A record stamped `ago` seconds before now.
std::string record(std::int64_t ago, const std::string &rest) {
  return formatTimestamp(now - ago) + "," + rest + "\n";
}

class Fleet : public ::testing::Test {
protected:
  void SetUp() override {
    dir = makeTempDir();
    fs::create_directory(dir / "log");
  }
  void TearDown() override {
    fs::remove_all(dir);
  }
  fs::path write(const std::string &name, const std::string &contents) {
    std::ofstream(dir / "log" / name, std::ios::binary) << contents;
    return dir / "log" / name;
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
  fs::path dir;
};

Window hourWindow() {
  Window window;
  window.now = now;
  window.since = {3600, "1h"};
  return window;
}

TEST_F(Fleet, ReadsTheWindowFromTheEndOfEachFile) {
  struct Case {
    const char *what;
    std::string contents;
    std::size_t records;
    std::int64_t lastSeenAgo; // -1: the file's time
    std::string lastFields;
    std::vector<std::string> notes;
    std::int64_t modifiedAgo = 0; // the file's last write
  };
  std::string day;
  for (int minute = 24 * 60L; minute >= 0; --minute) {
    day += record(minute * 60L, "A:B," + std::to_string(minute) + ",x");
  }
  const Case cases[] = {
      {"a day of records, one hour counted, both ends in", day, 61, 0, "0,x", {}},
      {"further lines of a report", record(10, "A,1") + "more,A,2\n", 2, 10, "2", {}},
      {"further lines of an old report", record(7200, "A,1") + "more,A,2\n", 0, 7200, "2", {}},
      {"no time stamp at all: the file's time", "x,A,1\ny,A,2\n", 2, -1, "2", {}},
      {"a last line still being written",
       record(5, "A,1") + "012",
       1,
       5,
       "1",
       {"last line has no line feed yet: ignored"}},
      {"a clock that was set back", record(-600, "A,1"), 1, -600, "1", {}, -600},
      {"binary junk and a long line",
       std::string("\x01\xff\x00,\n", 5) + std::string(70000, 'j') + "\n" + record(1, "A,ok"),
       3,
       1,
       "ok",
       {}},
      {"empty", "", 0, -1, "", {"empty file"}},
  };
  for (const auto &c : cases) {
    const fs::path path = write("A.csv", c.contents);
    const timespec times[2] = {{now - c.modifiedAgo, 0}, {now - c.modifiedAgo, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    const DeviceSummary device = readDeviceFile(path, hourWindow(), false);
    EXPECT_EQ(device.name, "A") << c.what;
    EXPECT_EQ(device.records, c.records) << c.what;
    EXPECT_EQ(device.lastSeenFromFileTime, c.lastSeenAgo == -1) << c.what;
    if (c.lastSeenAgo != -1) {
      EXPECT_EQ(device.lastSeen, now - c.lastSeenAgo) << c.what;
    }
    EXPECT_EQ(device.lastFields, c.lastFields) << c.what;
    EXPECT_EQ(device.notes, c.notes) << c.what;
  }
}

TEST_F(Fleet, ReadsOnlyTheWindowOfAFileWhoseHistoryIsAHole) {
  const fs::path path = write("H.csv", "");
  {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_EQ(::ftruncate(fd, off_t{50} << 20), 0); // 50 MiB of history that reads as NULs
    ::close(fd);
  }
  // The history ends, as a history of lines does, with a line feed.
  std::ofstream history(path, std::ios::app);
  history << "\n" + record(7200, "H,old") + record(60, "H,1") + record(0, "H,2");
  history.close();
  const DeviceSummary device = readDeviceFile(path, hourWindow(), true);
  EXPECT_EQ(device.records, 2U);
  EXPECT_EQ(device.lastSeen, now);
  EXPECT_TRUE(device.notes.empty()) << device.notes.front(); // it never reached the hole
  ASSERT_EQ(device.chart.size(), 2U);
  EXPECT_EQ(device.chart.rbegin()->second.means, std::vector<double>{2});
}

TEST_F(Fleet, UsesTheFileTimeWhenNoRecordHasOne) {
  const fs::path path = write("M.csv", "further,M,1\n");
  const timespec times[2] = {{now - 7200, 0}, {now - 7200, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  const DeviceSummary device = readDeviceFile(path, hourWindow(), false);
  EXPECT_EQ(device.lastSeen, now - 7200);
  EXPECT_TRUE(device.lastSeenFromFileTime);
  EXPECT_EQ(device.records, 0U);
}

TEST_F(Fleet, TellsTheOperatorAndMonitoringWhoIsStale) {
  struct Case {
    const char *what;
    std::map<std::string, std::string> files;
    int status;
  };
  const Case cases[] = {
      {"all fresh", {{"A.csv", record(5, "A,1")}, {"B.csv", record(50, "B,1")}}, 0},
      {"one stale", {{"A.csv", record(5, "A,1")}, {"B.csv", record(3 * 3600L, "B,1")}}, 1},
      {"all stale", {{"B.csv", record(3 * 3600L, "B,1")}}, 2},
      {"none", {}, 2},
  };
  for (const auto &c : cases) {
    fs::remove_all(dir / "log");
    fs::create_directory(dir / "log");
    for (const auto &[name, contents] : c.files) {
      write(name, contents);
    }
    EXPECT_EQ(run("").status, c.status) << c.what;
  }
  write("C.csv", record(2 * 86400L, "C,7,8"));
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

  const Run missing = run("-d nowhere");
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.err,
            "report-collector-fleet: cannot read nowhere: No such file or directory\n");
  const Run usage = run("--stale 5x");
  EXPECT_EQ(usage.status, 3);
  EXPECT_EQ(usage.err, "report-collector-fleet: invalid duration '5x': write it like 90s, 15m, 2h "
                       "or 7d\nTry 'report-collector-fleet --help' for more information.\n");
}

TEST_F(Fleet, APageCannotBeBrokenByWhatDevicesSend) {
  write("<b>x&y.csv", record(5, "<b>x&y,<script>alert(1)</script>,\"q'") + record(1, "z,3.5"));
  const Run result = run("--html page.html");
  const std::string page = readFile(dir / "page.html");
  EXPECT_NE(page.find("<td>&lt;b&gt;x&amp;y</td>"), std::string::npos);
  EXPECT_NE(page.find("<h2>&lt;b&gt;x&amp;y</h2>"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("'q"), std::string::npos);
  EXPECT_EQ(result.status, 0);
}

TEST_F(Fleet, OutputThatCannotBeWrittenIsAFailure) {
  write("A.csv", record(5, "A,1"));
  fs::permissions(dir, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::create_directory(dir / "unsearchable");
  fs::permissions(dir / "unsearchable", fs::perms::owner_read | fs::perms::others_read);
  struct Case {
    const char *what;
    std::string command;
    int status;
    std::string err;
  };
  const std::string fleet = "report-collector-fleet: ";
  const std::string full = ": No space left on device\n";
  const std::string closed = ": Bad file descriptor\n";
  const Case cases[] = {
      {"the table to a full device", FLEET_BINARY " >/dev/full", 3,
       fleet + "cannot write the table" + full},
      {"the table to a closed output", FLEET_BINARY " >&-", 3,
       fleet + "cannot write the table" + closed},
      {"the page to a full device", FLEET_BINARY " --html /dev/full >/dev/null", 3,
       fleet + "cannot write /dev/full" + full},
      {"the fleet view's help", FLEET_BINARY " --help >/dev/full", 3,
       fleet + "cannot write the help" + full},
      {"the fleet view's version", FLEET_BINARY " --version >&-", 3,
       fleet + "cannot write the version" + closed},
      {"the collector's help", COLLECTOR_BINARY " --help >/dev/full", 1,
       "report-collector: cannot write the help" + full},
      {"the collector's version", COLLECTOR_BINARY " -V >&-", 1,
       "report-collector: cannot write the version" + closed},
      {"a log directory that can be listed but not searched",
       "setpriv --reuid=nobody --regid=nogroup --clear-groups " FLEET_BINARY " -d unsearchable", 3,
       fleet + "cannot search unsearchable: Permission denied\n"},
  };
  for (const Case &c : cases) {
    const Run result = shell(c.command);
    EXPECT_EQ(result.status, c.status) << c.what;
    EXPECT_EQ(result.err, c.err) << c.what;
  }
}

TEST_F(Fleet, APageThatCannotBeWrittenLeavesThePreviousOne) {
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  fs::create_directory(dir / "www");
  ASSERT_EQ(::mount("tmpfs", (dir / "www").c_str(), "tmpfs", 0, "size=64k"), 0);
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
  ::umount((dir / "www").c_str());
}

TEST_F(Fleet, ClockChangesRaiseNoFalseAlarms) {
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
  ::setenv("TZ", "Europe/Berlin", 1); // for the stamps written here
  ::tzset();
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
      const fs::path path = write(name + ".csv", records);
      const timespec modified[2] = {{c.now - 30, 0}, {c.now - 30, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), modified, 0), 0);
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
  ::unsetenv("TZ");
  ::tzset();
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

TEST_F(Fleet, MemoryStaysBoundedWhateverTheLinesHold) {
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
