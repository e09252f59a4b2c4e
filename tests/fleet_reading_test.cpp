// What the fleet view believes of a device file, on real files in a temporary directory: the
// window read from a file's end, files that lie, odd files, and the time stamps of the hours
// that clock changes repeat or skip.

#include "fleet_fixture.hpp"

#include "fleet/command/output_file.hpp"
#include "fleet/model/device_file.hpp"
#include "fleet/model/fleet.hpp"
#include "fleet/model/rotation.hpp"
#include "fleet/model/time_stamps.hpp"
#include "fleet/render/text.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace fs = std::filesystem;
using namespace fleet_fixture;

namespace {

enum class Kind { file, link, fifo, hole };

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

void make(const TempDir &dir, const OddFile &file) {
  const fs::path path = dir.path() / file.fileName;
  if (file.kind == Kind::link) {
    fs::create_symlink(dir.write("target", file.contents), path);
  } else if (file.kind == Kind::fifo) {
    check(::mkfifo(path.c_str(), 0600) == 0, "mkfifo");
  } else if (file.kind == Kind::hole) {
    std::ofstream(path).close();
    fs::resize_file(path, std::uintmax_t{50} << 20); // 50 MiB of history that reads as NULs
    std::ofstream(path, std::ios::app) << file.contents;
    setModified(path, now - file.modifiedAgo);
  } else {
    dir.write(file.fileName, file.contents, file.modifiedAgo);
  }
}

TEST(FleetReading, FilesThatLieOrAreOddGiveTheRowsTheyMust) {
  const std::string control = times(3000, std::string("\r\x01\x02\x1b\x7f\x08\t", 7));
  const std::string controlShown =
      times(lastRecordKept / 7, R"(\x0d\x01\x02\x1b\x7f\x08\x09)") + R"(\x0d\x01\x02\x1b)";
  std::string oneADay; // a record a minute, the first as old as the window
  for (int minute = 24 * 60; minute >= 0; --minute) {
    oneADay += record(minute * 60L, "A:B," + std::to_string(minute) + ",x");
  }
  // More than 4 MiB of records older than the window, after one in it.
  const std::string oldRun = times(70, record(2 * day + 60, "A," + std::string(64000, 'b')));
  const std::string oldShown = std::string(lastRecordKept, 'b') + "...";
  const OddFile files[] = {
      {"a day of records, both ends of the window in", oneADay, 0, 1441, 0, "0,x", ""},
      {"a run of forged old stamps after it hides none of it",
       oneADay + times(5500, "01012020000000,TARGET,0\n"), 0, 1441, 0, "0,x", ""},
      {"a forged stamp from the future is not believed",
       record(60, "A,21.5") + "31122099235959,A,99\n", 0, 1, 60, "21.5", "[1 line not believed]"},
      {"nor after three days without a write",
       record(3 * day + 60, "A,21.5") + "31122099235959,A,99\n", 3 * day, 0, 3 * day + 60, "21.5",
       "[1 line not believed]", true},
      {"a forged old stamp hides no record before it", record(60, "A,7") + "01011990000000,A,1\n",
       0, 1, 60, "7", ""},
      {"4 MiB of old records end the reading, said when written within the window",
       record(60, "A,hidden") + oldRun, 0, 0, 2 * day + 60, oldShown,
       "[cut: 64000 bytes] [cut short: 4 MiB of records older than the window]", true},
      {"and not said when the file was written before it",
       record(2 * day + 120, "A,older") + oldRun, 2 * day, 0, 2 * day + 60, oldShown,
       "[cut: 64000 bytes]", true},
      {"a date that does not exist", record(60, "A,1") + "31022026120000,A,2\n", 0, 1, 60, "1",
       "[1 line not believed]"},
      {"a stamp the clock's grain can explain", record(-2, "A,1"), 0, 1, -2, "1", ""},
      {"a stamp newer than the file by more", record(60, "A,1") + record(-3, "A,2"), 0, 1, 60, "1",
       "[1 line not believed]"},
      {"records of a clock set back", record(-600, "A,1"), -600, 1, -600, "1", ""},
      {"the last record of a report with further lines",
       record(60, "A,1") + "more,A,2\n" + "31122099235959,A,99\n", 0, 2, 60, "2",
       "[1 line not believed]"},
      {"further lines of an old report", record(2 * day, "A,1") + "more,A,2\n", 0, 0, 2 * day, "2",
       "", true},
      {"no time stamp at all: the file's time is no sign of life", "x,A,1\ny,A,2\n", 0, 0,
       std::nullopt, "", "[no line with a believed time stamp]", true},
      {"a last line still being written", record(5, "A,1") + "012", 0, 1, 5, "1",
       "[last line has no line feed yet: ignored]"},
      {"binary junk and a long line",
       std::string("\x01\xff\x00,\n", 5) + std::string(70000, 'j') + "\n" + record(1, "A,ok"), 0, 3,
       1, "ok", ""},
      {"an empty file is no sign of life", "", 0, 0, std::nullopt, "", "[empty file]", true},
      {"a carriage return before the line feed", record(60, "A,21.5,43\r"), 0, 1, 60, "21.5,43",
       ""},
      {"a line of control bytes is cut", record(5, "A," + control), 0, 1, 5, controlShown + "...",
       "[cut: 21000 bytes]"},
      {"no stamp in the last 1 MiB", record(60, "A,1") + times(200000, "x,A,1\n"), 0, std::nullopt,
       std::nullopt, "",
       "[no line with a believed time stamp] [no time stamp in the last 1 MiB: read no further]",
       true},
      {"a history of 50 MiB that is a hole is read no further than 1 MiB into it",
       "\n" + record(2 * day, "A,old") + record(60, "A,1") + record(0, "A,2"), 0, 2, 0, "2", "",
       false, Kind::hole},
      {"a link is not followed", "root's secret\n", 0, 0, std::nullopt, "",
       "[a symbolic link: not read]", true, Kind::link},
      {"a FIFO is not read", "", 0, 0, std::nullopt, "", "[not a regular file: not read]", true,
       Kind::fifo},
      {"the empty identifier has a name no file can give", record(60, ",1"), 0, 1, 60, "1", "",
       false, Kind::file, ".csv", emptyIdentifierName},
  };
  const Window window{now, {day, "24h"}, {900, "15m"}};
  for (const OddFile &file : files) {
    const TempDir dir;
    make(dir, file);
    const Fleet fleet =
        fleetOf({{file.fileName, readDeviceFile(dir.path() / file.fileName, window)}}, window);
    const FleetDevice &device = fleet.devices.at(0);
    const DeviceWords words = wordsFor(device, window);
    EXPECT_EQ(words.device, file.device) << file.what;
    if (file.records) {
      EXPECT_EQ(device.records, *file.records) << file.what;
    }
    EXPECT_EQ(device.lastSeen == 0 ? std::nullopt : std::optional(now - device.lastSeen),
              file.lastSeenAgo)
        << file.what;
    EXPECT_EQ(words.last, file.last) << file.what;
    EXPECT_EQ(words.notes, file.notes) << file.what;
    EXPECT_EQ(device.stale, file.stale) << file.what;
  }
}

TEST(FleetReading, StampsAreRealLocalTimesThatClockChangesRepeatOrSkip) {
  const TimeZone berlin("Europe/Berlin");
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
      {"the repeated hour, written after both", "25102026023000,", second + 60, {}, second},
      {"the repeated hour, written between them", "25102026023000,", first + 60, {}, first},
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
}

} // namespace

namespace {

TEST(FleetReading, IdentifiersShowAsUtf8AndNothingThatSteersText) {
  const std::pair<const char *, const char *> names[] = {
      {"\xc3\xa9t\xc3\xa9.csv", "\xc3\xa9t\xc3\xa9"},
      {"a\xff\xc3.csv", "a\\xff\\xc3"},
      {"\xc2\x85x.csv", "\\xc2\\x85x"},
      {"\xe2\x80\xae"
       "evil.csv",
       "\\xe2\\x80\\xae"
       "evil"},
      {"a\\b\t.csv", "a\\x5cb\\x09"},
      {".csv", "(empty)/"},
  };
  for (const auto &[fileName, shown] : names) {
    EXPECT_EQ(shownIdentifier(fileName), shown) << fileName;
  }
}

TEST(FleetRotation, LogrotatesNamesArePartsOfADeviceNeverDevices) {
  const std::pair<const char *, std::optional<std::string>> names[] = {
      {"X.csv.1", "X.csv"},
      {"X.csv.2.gz", "X.csv"},
      {"X.csv-20261209", "X.csv"},
      {"X.csv-20261209.gz", "X.csv"},
      {"X.csv-2026-12-09_13", "X.csv"},
      {"X.1.csv", "X.csv"},
      {"X.12.csv.gz", "X.csv"},
      {"X-20261209.csv", "X.csv"},
      {"30AEA40C2F44-20261209.csv.gz", "30AEA40C2F44.csv"},
      {"A-1-2026-12-09.csv", "A-1.csv"},
      {"X-20261209-20261209.csv", "X.csv"},
      {"X.1.2.csv.gz", "X.csv"},
      {".csv.1", ".csv"},
      {"X.csv", std::nullopt},
      {"24-6f-28-a1-03-55.csv", std::nullopt}, // a board's own hyphens and digits
      {"X.0.csv", std::nullopt},
      {"X.csv.gz", std::nullopt},
      {"X.csv.old", std::nullopt},
      {"X.csv.1-", std::nullopt},
      {"X.csv-1--2", std::nullopt},
      {"X-2026.csv", std::nullopt},
      {"notes.txt.1", std::nullopt},
  };
  for (const auto &[name, deviceFile] : names) {
    const auto rotated = rotatedDeviceFile(name);
    EXPECT_EQ(rotated ? std::optional(rotated->deviceFile) : std::nullopt, deviceFile) << name;
  }
}

// Each way logrotate leaves a board's history, and a second collector's directory that took
// part of it, for a board silent for 3 hours and a fresh one: the same rows, charts and
// status as before.
TEST(FleetRotation, HistoryRunsOnAcrossARotation) {
  const Window window{now, {day, "24h"}, {3600, "1h"}};
  // Renames (and compresses) `file`'s history in `dir` as a rotation does.
  using Rotation = std::function<void(const fs::path &dir, const std::string &board)>;
  const auto moved = [](const char *suffix, bool gzip, bool create) -> Rotation {
    return [=](const fs::path &dir, const std::string &board) {
      const fs::path rotated = dir / (board + suffix);
      fs::rename(dir / (board + ".csv"), rotated);
      if (gzip) {
        // The real gzip, keeping the file's time as logrotate does.
        const std::string path = rotated.string();
        ASSERT_EQ(std::system(("gzip -n <" + path + " >" + path + ".z && touch -r " + path + " " +
                               path + ".z && mv " + path + ".z " + path)
                                  .c_str()),
                  0);
      }
      if (create) {
        std::ofstream(dir / (board + ".csv")).close();
      }
    };
  };
  // The older half of `board`'s records in the second collector's directory "b".
  const Rotation split = [](const fs::path &dir, const std::string &board) {
    const fs::path file = dir / (board + ".csv");
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line + "\n");
    }
    const auto written = fs::last_write_time(file);
    std::ofstream older(dir / "b" / (board + ".csv")), newer(file);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      (i < lines.size() / 2 ? older : newer) << lines[i];
    }
    older.close();
    newer.close();
    fs::last_write_time(dir / "b" / (board + ".csv"), written);
    fs::last_write_time(file, written);
  };
  const std::pair<const char *, Rotation> rotations[] = {
      {"create", moved(".csv.1", false, true)},
      {"nocreate", moved(".csv.1", false, false)},
      {"dateext, extension .csv", moved("-20261209.csv", false, false)},
      {"compress", moved(".csv.1.gz", true, false)},
      {"dateext, compress, create", moved(".csv-20261209.gz", true, true)},
      {"dateext, extension .csv, compress", moved("-20261209.csv.gz", true, false)},
      {"the older half in a second collector's directory", split},
  };
  struct Row {
    std::string device;
    std::size_t records;
    std::time_t lastSeen;
    std::string last;
    std::size_t slices;
  };
  const auto rowsOf = [&](const fs::path &dir) {
    // The first directory again by another name: read once, or each record would count twice.
    const std::vector<fs::path> dirs{dir, dir / "b", dir / "."};
    const Fleet fleet = readFleet(dirs, window);
    std::vector<Row> rows;
    for (const FleetDevice &device : fleet.devices) {
      rows.push_back({device.identifier, device.records, device.lastSeen, device.last.text,
                      readChart(dirs, device, window).slices.size()});
    }
    return std::make_pair(rows, fleet.status);
  };
  const auto history = [](std::int64_t from, const std::string &board) {
    std::string records;
    for (std::int64_t ago = from + std::int64_t{120} * 60; ago >= from; ago -= 60) {
      records += record(ago, board + "," + std::to_string(ago));
    }
    return records;
  };
  for (const auto &[what, rotate] : rotations) {
    const TempDir dir;
    fs::create_directory(dir.path() / "b");
    dir.write("SILENT.csv", history(std::int64_t{3} * 3600, "SILENT"), std::int64_t{3} * 3600);
    dir.write("FRESH.csv", history(60, "FRESH"), 60);
    const auto before = rowsOf(dir.path());
    rotate(dir.path(), "SILENT");
    rotate(dir.path(), "FRESH");
    const auto after = rowsOf(dir.path());
    ASSERT_EQ(after.first.size(), 2U) << what;
    for (std::size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(after.first[i].device, before.first[i].device) << what;
      EXPECT_EQ(after.first[i].records, 121U) << what;
      EXPECT_EQ(after.first[i].lastSeen, before.first[i].lastSeen) << what;
      EXPECT_EQ(after.first[i].last, before.first[i].last) << what;
      EXPECT_EQ(after.first[i].slices, before.first[i].slices) << what;
    }
    EXPECT_EQ(after.second, FleetStatus::warning) << what;
  }
}

} // namespace

namespace {

// A compressed part that is damaged is said on the row, and the older parts are read on.
TEST(FleetRotation, ADamagedCompressedPartIsSaidAndTheOlderOnesRead) {
  const Window window{now, {day, "24h"}, {3600, "1h"}};
  const TempDir dir;
  dir.write("X.csv", "", 0);
  // A whole gzip header, then a block of a type that does not exist.
  dir.write("X.csv.1.gz", std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03\xff\xff\xff\xff", 14), 600);
  dir.write("X.csv.2", record(7200, "X,1") + record(3600 + 60, "X,2"), 3600);
  const Fleet fleet = readFleet({dir.path()}, window);
  ASSERT_EQ(fleet.devices.size(), 1U);
  const FleetDevice &device = fleet.devices[0];
  EXPECT_EQ(device.records, 2U);
  EXPECT_EQ(device.lastSeen, now - 3600 - 60);
  EXPECT_EQ(device.last.text, "2");
  EXPECT_EQ(device.predecessorsRead, (std::vector<FileAt>{{0, "X.csv.1.gz"}, {0, "X.csv.2"}}));
  EXPECT_EQ(wordsFor(device, window).notes,
            "[X.csv.1.gz: compressed data is damaged: read no further]");
}

// The page's directory swapped for another, or for a link to one, while the page is written:
// the page goes where the run began, through the directory it opened, and nothing hidden is
// left in either directory, whether it is put in place or fails to be.
TEST(ReplacementFileTest, ADirectorySwappedDuringARunKeepsNothingBehind) {
  for (const bool failing : {false, true}) {
    for (const bool toALink : {false, true}) {
      const TempDir dir;
      fs::create_directory(dir.path() / "www");
      fs::create_directory(dir.path() / "elsewhere");
      std::optional<ReplacementFile> page(std::in_place, dir.path() / "www" / "page.html");
      page->stream() << "the page\n";
      fs::rename(dir.path() / "www", dir.path() / "opened");
      if (toALink) {
        fs::create_directory_symlink("elsewhere", dir.path() / "www");
      } else {
        fs::create_directory(dir.path() / "www");
      }
      if (failing) { // the target became a directory: it cannot be replaced
        fs::create_directory(dir.path() / "opened" / "page.html");
      }
      EXPECT_EQ(page->commit(), !failing);
      page.reset();
      EXPECT_EQ(fs::is_regular_file(dir.path() / "opened" / "page.html"), !failing);
      std::size_t hidden = 0;
      for (const auto &entry : fs::recursive_directory_iterator(dir.path())) {
        hidden += entry.path().filename().string()[0] == '.' ? 1 : 0;
      }
      EXPECT_EQ(hidden, 0U) << "failing " << failing << ", to a link " << toALink;
    }
  }
}

} // namespace
