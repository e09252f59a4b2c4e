// What the fleet view believes of a device file, on real files in a temporary directory: files
// that lie, odd files, and the time stamps of the hours that clock changes repeat or skip.

#include "fleet/reading.hpp"
#include "fleet/table.hpp"
#include "fleet/time_stamps.hpp"

#include "devicelog/record_format.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

const std::time_t now = std::time(nullptr);
constexpr std::int64_t day = 86400;

// A record stamped `ago` seconds before now.
std::string record(std::int64_t ago, const std::string &rest) {
  return formatTimestamp(now - ago) + "," + rest + "\n";
}

std::string times(std::size_t count, const std::string &text) {
  std::string repeated;
  for (std::size_t i = 0; i < count; ++i) {
    repeated += text;
  }
  return repeated;
}

enum class Kind { file, link, fifo };

struct OddFile {
  const char *what;
  std::string contents;
  std::int64_t modifiedAgo = 0; // the file's last write
  // What its row must say: records (nothing: not checked), how long ago last seen (nothing:
  // "-"), the last record and the notes as shown, and whether it is stale.
  std::optional<std::size_t> records;
  std::optional<std::int64_t> lastSeenAgo;
  std::string last;
  std::string notes;
  bool stale = false;
  Kind kind = Kind::file;
  std::string fileName = "A.csv";
  std::string device = "A";
};

void make(const fs::path &path, const OddFile &file) {
  if (file.kind == Kind::link) {
    fs::create_symlink(path.parent_path() / "target", path);
    std::ofstream(path.parent_path() / "target") << file.contents;
    return;
  }
  if (file.kind == Kind::fifo) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    return;
  }
  std::ofstream(path, std::ios::binary) << file.contents;
  const timespec modified[2] = {{now - file.modifiedAgo, 0}, {now - file.modifiedAgo, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), modified, 0), 0);
}

TEST(FleetReading, FilesThatLieOrAreOddGiveTheRowsTheyMust) {
  const std::string control = times(3000, std::string("\r\x01\x02\x1b\x7f\x08\t", 7));
  const std::string controlShown =
      times(lastFieldsKept / 7, R"(\x0d\x01\x02\x1b\x7f\x08\x09)") + R"(\x0d\x01\x02\x1b)";
  const std::string oldLine = "A," + std::string(65000, 'o');
  const OddFile files[] = {
      {"a forged stamp from the future is not believed",
       record(60, "A,21.5") + "31122099235959,A,99\n", 0, 1, 60, "21.5", "[1 line not believed]"},
      {"nor after three days without a write",
       record(3 * day + 60, "A,21.5") + "31122099235959,A,99\n", 3 * day, 0, 3 * day + 60, "21.5",
       "[1 line not believed]", true},
      {"a forged old stamp hides no record before it", record(60, "A,7") + "01011990000000,A,1\n",
       0, 1, 60, "7", ""},
      {"one report of old stamps hides no record before it",
       record(60, "A,real") + record(7200, oldLine) + record(7200, "A,x"), 0, 1, 60, "real", ""},
      {"longer runs of old records end the reading",
       record(60, "A,hidden") + record(7300, "A," + std::string(40000, 'a')) +
           record(7200, "A," + std::string(40000, 'b')),
       0, 0, 7200, std::string(256, 'b') + "...", "[cut: 40000 bytes]", true},
      {"a date that does not exist", record(60, "A,1") + "31022026120000,A,2\n", 0, 1, 60, "1",
       "[1 line not believed]"},
      {"a stamp the clock's grain can explain", record(-2, "A,1"), 0, 1, -2, "1", ""},
      {"a stamp newer than the file by more", record(60, "A,1") + record(-3, "A,2"), 0, 1, 60, "1",
       "[1 line not believed]"},
      {"records of a clock set back", record(-600, "A,1"), -600, 1, -600, "1", ""},
      {"the last record of a report with further lines",
       record(60, "A,1") + "more,A,2\n" + "31122099235959,A,99\n", 0, 2, 60, "2",
       "[1 line not believed]"},
      {"a carriage return before the line feed", record(60, "A,21.5,43\r"), 0, 1, 60, "21.5,43",
       ""},
      {"a line of control bytes is cut", record(5, "A," + control), 0, 1, 5, controlShown + "...",
       "[cut: 21000 bytes]"},
      {"no stamp in the last 1 MiB", record(60, "A,1") + times(200000, "x,A,1\n"), 0, std::nullopt,
       0, "1", "[no time stamp in the last 1 MiB: read no further] [time of the file]"},
      {"a link is not followed", "root's secret\n", 0, 0, std::nullopt, "",
       "[a symbolic link: not read]", true, Kind::link},
      {"a FIFO is not read", "", 0, 0, std::nullopt, "", "[not a regular file: not read]", true,
       Kind::fifo},
      {"the empty identifier has a name no file can give", record(60, ",1"), 0, 1, 60, "1", "",
       false, Kind::file, ".csv", emptyIdentifierName},
  };
  Window window;
  window.now = now;
  window.since = {3600, "1h"};
  window.stale = {900, "15m"};
  std::string base = (fs::temp_directory_path() / "fleet-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(base.data()), nullptr);
  for (const OddFile &file : files) {
    const fs::path dir = base / fs::path(std::to_string(&file - files));
    fs::create_directory(dir);
    make(dir / file.fileName, file);
    const DeviceSummary device = readDeviceFile(dir / file.fileName, window, false);
    const TableRow row = tableRow(device, window);
    EXPECT_EQ(row.device, file.device) << file.what;
    if (file.records) {
      EXPECT_EQ(device.records, *file.records) << file.what;
    }
    EXPECT_EQ(device.lastSeen == 0 ? std::nullopt : std::optional(now - device.lastSeen),
              file.lastSeenAgo)
        << file.what;
    EXPECT_EQ(row.last, file.last) << file.what;
    EXPECT_EQ(row.notes, file.notes) << file.what;
    EXPECT_EQ(isStale(device, window), file.stale) << file.what;
  }
  fs::remove_all(base);
}

TEST(FleetReading, StampsAreRealLocalTimesThatClockChangesRepeatOrSkip) {
  ::setenv("TZ", "Europe/Berlin", 1);
  ::tzset();
  const std::time_t first = 1792888200;  // 2026-10-25 02:30 summer time, 00:30 UTC
  const std::time_t second = 1792891800; // 02:30 again, winter time
  struct Case {
    const char *what;
    const char *stamp;
    std::time_t latest;
    std::optional<std::time_t> next;
    std::optional<std::time_t> believed;
  };
  const Case cases[] = {
      {"the repeated hour, the file written after both",
       "25102026023000,",
       second + 60,
       {},
       second},
      {"the repeated hour, the file written between them",
       "25102026023000,",
       first + 60,
       {},
       first},
      {"the repeated hour, the next record between them", "25102026023000,", second + 3600,
       first + 60, first},
      {"the next record before both: a clock set back", "25102026023000,", second + 3600,
       first - 60, first},
      {"newer than the file", "25102026023000,", first - 1, {}, {}},
      {"the hour skipped in spring never was", "29032026023000,", second, {}, {}},
      {"the hour after the skip", "29032026033000,", second, {}, 1774747800},
      {"the hour before the skip", "29032026013000,", second, {}, 1774744200},
      {"an hour of winter", "08122026143005,", second + std::time_t{86400} * 60, {}, 1796736605},
      {"a leap day", "29022028120000,", 1900000000, {}, 1835434800},
      {"no leap day", "29022027120000,", 1900000000, {}, {}},
      {"no 31 February", "31022026120000,", 1900000000, {}, {}},
      {"no hour 24", "01012026240000,", 1900000000, {}, {}},
      {"no leap second", "01012026235960,", 1900000000, {}, {}},
      {"no month 13", "01132026120000,", 1900000000, {}, {}},
  };
  StampClock clock;
  for (const Case &c : cases) {
    const auto stamp = parseStamp(c.stamp);
    EXPECT_EQ(stamp ? clock.believedInstant(*stamp, c.latest, c.next) : std::nullopt, c.believed)
        << c.what;
  }
  ::unsetenv("TZ");
  ::tzset();
}

} // namespace
