// The fleet view on real device files in temporary directories.

#include "harness.hpp"

#include "devicelog/record_format.hpp"
#include "fleet/reading.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <fcntl.h>
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
    const std::string command =
        "cd " + dir.string() + " && " FLEET_BINARY " " + args + " >out 2>err";
    const int status = std::system(command.c_str());
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

} // namespace
