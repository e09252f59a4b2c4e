// The real report-collector with a device list: only listed boards are stored, and SIGHUP
// reads the list again.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace fs = std::filesystem;
using namespace harness;

namespace {

const std::string reset =
    "Exception: reset the connection of 127.0.0.1: its report was not stored in full\n";

std::string notListed(const std::string &escapedIdentifier) {
  return "Exception: refused device identifier \"" + escapedIdentifier +
         "\": it is not in the device list\n";
}

class DeviceAdmission : public CollectorTest {
protected:
  void writeList(const std::string &text) const {
    std::ofstream(dir / "devices", std::ios::trunc) << text;
  }

  // Sends `report` and says whether it was stored, once what the collector says on standard
  // error about it is `stderrLines`.
  bool sendExpecting(const std::string &report, const std::string &stderrLines) {
    const auto before = err().size();
    const bool stored = sendReport(report);
    EXPECT_EQ(onceItIs([&] { return err().substr(before); }, stderrLines), stderrLines) << report;
    return stored;
  }
};

TEST_F(DeviceAdmission, StoresListedAndRefusesOtherIdentifiers) {
  writeList("# the greenhouse\n[24:6F:28:A1:03:5C]\nname = North\n\n[30AEA40C2F44]\n");
  start({"--devices", "devices"});
  struct Case {
    const char *what;
    std::string report, stderrLines;
    bool stored;
  };
  const Case cases[] = {
      {"as listed", "24:6F:28:A1:03:5C,1\n", "", true},
      {"lower case", "24:6f:28:a1:03:5c,2\n", "", true},
      {"without colons", "246F28A1035C,3\n", "", true},
      {"with hyphens", "30-ae-a4-0c-2f-44,4\n", "", true},
      {"not listed", "AA:BB:CC:DD:EE:FF,5\n", notListed("AA:BB:CC:DD:EE:FF") + reset, false},
      {"control byte", "a\x1b[2J,6\n", notListed("a\\x1b[2J") + reset, false},
      {"a further line for an unlisted device", "30AEA40C2F44,7\nx,HELP\n",
       notListed("HELP") + reset, false},
      {"a further line for a listed device", "HELP,8\nx,246f28a1035c\n", notListed("HELP") + reset,
       false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(sendExpecting(c.report, c.stderrLines), c.stored) << c.what;
  }
  // The file name still comes from what the board sends; nothing is made for the others.
  EXPECT_EQ(deviceFile("246F28A1035C.csv"), "TS,24:6F:28:A1:03:5C,1\nTS,246F28A1035C,3\n");
  EXPECT_EQ(deviceFile("246f28a1035c.csv"), "TS,24:6f:28:a1:03:5c,2\nx,246f28a1035c\n");
  EXPECT_EQ(deviceFile("30-ae-a4-0c-2f-44.csv"), "TS,30-ae-a4-0c-2f-44,4\n");
  EXPECT_EQ(deviceFile("30AEA40C2F44.csv"), "TS,30AEA40C2F44,7\n");
  std::set<std::string> files;
  for (const auto &entry : fs::directory_iterator(dir / "log")) {
    files.insert(entry.path().filename().string());
  }
  EXPECT_EQ(files, (std::set<std::string>{"246F28A1035C.csv", "246f28a1035c.csv",
                                          "30-ae-a4-0c-2f-44.csv", "30AEA40C2F44.csv"}));
}

TEST_F(DeviceAdmission, SighupReadsTheListAgain) {
  writeList("[AA:AA:AA:AA:AA:AA]\n");
  start({"--devices", "devices"});
  EXPECT_FALSE(sendExpecting("BB:BB:BB:BB:BB:BB,1\n", notListed("BB:BB:BB:BB:BB:BB") + reset));

  writeList("[AA:AA:AA:AA:AA:AA]\n[BBBBBBBBBBBB]\nname = new\n");
  ::kill(pid, SIGHUP);
  EXPECT_TRUE(eventually(
      [&] { return out().find("\nDevice list reloaded: 2 devices\n") != std::string::npos; }));
  EXPECT_TRUE(sendExpecting("BB:BB:BB:BB:BB:BB,2\n", ""));

  // A list that no longer reads correctly is reported, and the one in force stays.
  writeList("[AA:AA:AA:AA:AA:AA]\ncolour = red\n");
  ::kill(pid, SIGHUP);
  EXPECT_TRUE(stderrHas("Exception: devices:2: "));
  EXPECT_TRUE(stderrHas(": the device list in force stays\n"));
  EXPECT_TRUE(sendExpecting("BB:BB:BB:BB:BB:BB,3\n", ""));
  fs::remove(dir / "devices");
  ::kill(pid, SIGHUP);
  EXPECT_TRUE(stderrHas("Exception: cannot read the device list devices: No such file or directory"
                        ": the device list in force stays\n"));
  EXPECT_TRUE(sendExpecting("AA:AA:AA:AA:AA:AA,4\n", ""));

  // The packaged example lists no board.
  fs::copy_file(DEVICES_EXAMPLE, dir / "devices");
  ::kill(pid, SIGHUP);
  EXPECT_TRUE(eventually(
      [&] { return out().find("\nDevice list reloaded: 0 devices\n") != std::string::npos; }));
  EXPECT_FALSE(sendExpecting("AA:AA:AA:AA:AA:AA,5\n", notListed("AA:AA:AA:AA:AA:AA") + reset));
  EXPECT_EQ(deviceFile("BBBBBBBBBBBB.csv"), "TS,BB:BB:BB:BB:BB:BB,2\nTS,BB:BB:BB:BB:BB:BB,3\n");
  EXPECT_EQ(deviceFile("AAAAAAAAAAAA.csv"), "TS,AA:AA:AA:AA:AA:AA,4\n");
  // SIGHUP never stops a collector with a list; SIGTERM still does.
  ::kill(pid, SIGTERM);
  EXPECT_EQ(exitStatus(pid), 0);
  EXPECT_EQ(out().find("Server stopped on SIGHUP"), std::string::npos);
}

// A list that cannot be read is a failure to start: exit 1 before listening, with the reason.
TEST_F(DeviceAdmission, AnUnreadableListStopsTheStart) {
  struct Case {
    const char *what;
    std::string list; // empty: no file at all
    std::string reason;
  };
  const Case cases[] = {
      {"missing", "",
       "Exception: cannot read the device list devices: No such file or directory\n"},
      {"unknown key", "[AA]\nnmae = x\n", "Exception: devices:2: "},
      {"duplicate", "[AA]\n[aa]\n", "Exception: devices:2: "},
      {"bad duration", "[AA]\nstale = soon\n", "Exception: devices:2: "},
  };
  for (const auto &c : cases) {
    fs::remove(dir / "devices");
    fs::remove(dir / "stderr");
    if (!c.list.empty()) {
      writeList(c.list);
    }
    pid = startCollector(dir, {}, {"--devices", "devices"});
    EXPECT_EQ(exitStatus(pid), 1) << c.what;
    EXPECT_EQ(err().substr(0, c.reason.size()), c.reason) << c.what;
    EXPECT_EQ(out().find("Server listening"), std::string::npos) << c.what;
    EXPECT_EQ(tryConnect(), -1) << c.what;
    EXPECT_FALSE(fs::exists(dir / "log")) << c.what;
  }
}

} // namespace
