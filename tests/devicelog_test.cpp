// The device log on real files, in a temporary working directory of each test's own.

#include "base/escaping.hpp"
#include "devicelog/devicelog.hpp"
#include "devicelog/record_format.hpp"
#include "server/report.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <cstdlib>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class DeviceLog : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "devicelog-test-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    fs::current_path(dir);
  }
  void TearDown() override {
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(dir);
  }
  // Every device file, by name, with its contents.
  static std::map<std::string, std::string> deviceFiles() {
    std::map<std::string, std::string> files;
    if (!fs::exists("log")) {
      return files;
    }
    for (const auto &entry : fs::directory_iterator("log")) {
      std::ifstream file(entry.path(), std::ios::binary);
      std::ostringstream contents;
      contents << file.rdbuf();
      files[entry.path().filename().string()] = contents.str();
    }
    return files;
  }
  fs::path dir;
};

// Stores the records of a stamped report in "log".
std::vector<Outcome> store(const std::string &pkg) {
  std::vector<Outcome> outcomes;
  for (const Record &record : splitRecords(pkg)) {
    outcomes.push_back(appendToDeviceLog("log", record));
  }
  return outcomes;
}

// The problems of `outcomes` as the collector's console words them.
std::string problems(const std::vector<Outcome> &outcomes) {
  std::string text;
  for (const auto &outcome : outcomes) {
    if (outcome.kind != Outcome::Kind::stored) {
      text += "Exception: " + outcome.problem + "\n";
    }
  }
  return text;
}

struct Routing {
  const char *what;
  std::string pkg;
  std::map<std::string, std::string> files;
};

TEST_F(DeviceLog, RoutesEachRecordToTheFileOfItsSecondField) {
  const Routing cases[] = {
      {"one record",
       "T,AA:BB:CC:DD:EE:FF,21.5\n",
       {{"AABBCCDDEEFF.csv", "T,AA:BB:CC:DD:EE:FF,21.5\n"}}},
      {"second line routed by its own field",
       "T,P,Q\nR,S\n",
       {{"P.csv", "T,P,Q\n"}, {"S.csv", "R,S\n"}}},
      {"hyphens and case stay", "T,aa-BB-cc,1\n", {{"aa-BB-cc.csv", "T,aa-BB-cc,1\n"}}},
      {"lone identifier", "T,dev\n", {{"dev.csv", "T,dev\n"}}},
      {"empty identifier", "T,,x\n", {{".csv", "T,,x\n"}}},
      {"carriage return stays", "T,A,1\r\n", {{"A.csv", "T,A,1\r\n"}}},
      {"no final line feed", "T,A,1", {{"A.csv", "T,A,1\n"}}},
      {"lines without two fields skipped", "T,A,1\n\nnocomma\nB,\n", {{"A.csv", "T,A,1\n"}}},
      {"timestamp alone", "T,", {}},
  };
  for (const auto &c : cases) {
    fs::remove_all("log");
    store(c.pkg);
    EXPECT_EQ(deviceFiles(), c.files) << c.what;
  }
}

TEST_F(DeviceLog, AppendsAndRecreatesTheLogDirectory) {
  store("T1,A,1\n");
  store("T2,A,2\n");
  EXPECT_EQ(deviceFiles()["A.csv"], "T1,A,1\nT2,A,2\n");
  fs::remove_all("log");
  store("T3,A,3\n");
  EXPECT_EQ(deviceFiles()["A.csv"], "T3,A,3\n");
}

TEST_F(DeviceLog, RefusesIdentifiersThatLeaveTheLogDirectory) {
  const std::string identifiers[] = {".",    "..",    ":.:.",  "../x", "a/b",
                                     "a\\b", "a\x01", "a\x7f", "a\rb"};
  for (const auto &identifier : identifiers) {
    const std::string error = problems(store("T," + identifier + ",1\n"));
    EXPECT_EQ(error, "Exception: refused device identifier \"" + printable(identifier) +
                         "\": it would name a file outside the log directory\n");
    EXPECT_EQ(error.find_first_of("\x01\x7f\r"), std::string::npos) << printable(error);
  }
  EXPECT_TRUE(deviceFiles().empty());
  EXPECT_EQ(fs::directory_iterator(dir), fs::directory_iterator()) << "nothing outside log";
}

TEST_F(DeviceLog, ReportsARecordThatCannotBeStoredAndGoesOn) {
  // Whatever stands in a device file's place, nothing is written through it or into it.
  fs::create_directories("log/A.csv");
  std::ofstream("elsewhere") << "kept\n";
  fs::create_symlink("../elsewhere", "log/L.csv");
  ASSERT_EQ(::mkfifo("log/F.csv", 0644), 0) << "no reader: an open that waited would hang";
  const std::string error = problems(store("T,A,1\nB,B,2\nC,L,3\nD,F,4\n"));
  EXPECT_EQ(error, "Exception: cannot open log/A.csv: Is a directory\n"
                   "Exception: cannot open log/L.csv: a symbolic link, which is not followed\n"
                   "Exception: cannot open log/F.csv: No such device or address\n");
  fs::remove("log/F.csv"); // before the test reads the files, which would wait for a writer
  EXPECT_EQ(deviceFiles()["B.csv"], "B,B,2\n");
  EXPECT_EQ(deviceFiles()["L.csv"], "kept\n") << "read through the link by the test only";
}

TEST_F(DeviceLog, ALogDirectoryInTheWayFailsEachRecordUntilItIsGone) {
  std::ofstream("log") << "in the way";
  const auto outcomes = store("T,A,1\nB,B,2\n");
  ASSERT_EQ(outcomes.size(), 2U);
  for (const auto &outcome : outcomes) {
    EXPECT_EQ(outcome.kind, Outcome::Kind::failed);
    EXPECT_NE(outcome.problem.find("create_directory"), std::string::npos) << outcome.problem;
  }
  EXPECT_THROW(prepareLogDirectory("log"), fs::filesystem_error);
  fs::remove("log");
  EXPECT_EQ(problems(store("T,A,1\n")), "");
}

// The descriptors this process has open.
std::size_t openDescriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// With a batch, each device file is held open once, however many records went to it and
// wherever logrotate moved it since, until one sync stores them all and lets them go.
TEST_F(DeviceLog, ABatchHoldsEachFileOnceUntilItsSync) {
  SyncBatch batch;
  const auto records = splitRecords("T,A,1\nT,B,2\nT,A,3\n");
  std::vector<std::shared_ptr<const SyncState>> states;
  for (const Record &record : records) {
    states.push_back(appendToDeviceLog("log", record, &batch).sync);
  }
  fs::rename("log/A.csv", "log/A.csv.1");
  states.push_back(appendToDeviceLog("log", records[0], &batch).sync); // to a new A.csv
  const std::size_t open = openDescriptors();
  EXPECT_EQ(states[0], states[2]);
  EXPECT_NE(states[0], states[1]);
  EXPECT_NE(states[0], states[3]);
  EXPECT_FALSE(states[0]->done);
  EXPECT_EQ(batch.sync(), std::vector<std::string>{});
  for (const auto &state : states) {
    EXPECT_TRUE(state->done && !state->failed);
  }
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(openDescriptors(), open - 4) << "A.csv.1, B.csv, A.csv and log let go";
  EXPECT_EQ(deviceFiles()["A.csv.1"], "T,A,1\nT,A,3\n");
}

} // namespace

// A record that a crash left without its line feed is cut away when the collector starts;
// whole lines, files that are not device files, and what no crash of the collector can have
// left stay as they are.
TEST_F(DeviceLog, StartingCutsAwayOnlyARecordThatACrashTore) {
  const std::string junk(longestStoredLine + 1, 'j');
  const struct {
    std::string name, contents, mended, told;
  } cases[] = {
      {"WHOLE.csv", "TS,WHOLE,1\n", "TS,WHOLE,1\n", ""},
      {"TORN.csv", "TS,TORN,1\nTS,TORN,2,21.", "TS,TORN,1\n",
       "cut 13 bytes from the end of log/TORN.csv: the start of a record that a crash left "
       "unfinished"},
      {"FIRST.csv", "TS,FIRST,1", "", "cut 10 bytes from the end of log/FIRST.csv"},
      {"JUNK.csv", "TS,JUNK,1\n" + junk, "TS,JUNK,1\n" + junk,
       "log/JUNK.csv does not end with a line feed, and was left as it is"},
      {"notes.txt", "no line feed", "no line feed", ""},
  };
  fs::create_directory("log");
  for (const auto &c : cases) {
    std::ofstream(fs::path("log") / c.name, std::ios::binary) << c.contents;
  }
  fs::create_symlink(fs::path("log") / "TORN.csv", fs::path("log") / "LINK.csv");
  const auto told = mendTornRecords("log");
  const auto files = deviceFiles();
  for (const auto &c : cases) {
    EXPECT_EQ(files.at(c.name), c.mended) << c.name;
    const bool wasTold = std::any_of(told.begin(), told.end(), [&](const std::string &line) {
      return line.rfind(c.told, 0) == 0;
    });
    EXPECT_TRUE(c.told.empty() || wasTold) << c.name << ": " << ::testing::PrintToString(told);
  }
  EXPECT_EQ(told.size(), 3U) << "the link is not followed";
}
