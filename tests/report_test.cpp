// What the bytes from one peer become: the echo, the records and the problems.

#include "devicelog/record_format.hpp"
#include "server/report.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <vector>

namespace {

// A record as the test writes it: identifier, line, refused or not.
struct Expected {
  std::string macAddress, line;
  bool refused = false;
  bool operator==(const Record &record) const {
    return macAddress == record.macAddress && line == record.line &&
           refused == record.fileName.empty();
  }
};

// Bytes as they arrive, in pieces, and what is stored of them: the first lines stamped,
// later ones as sent, a line once it has ended, and every loss counted.
TEST(ReportCutter, StoresWholeLinesAsTheyComeAndCountsWhatIsLost) {
  const std::time_t now = 1765200000;
  const std::string ts = formatTimestamp(now);
  struct Case {
    const char *what;
    std::vector<std::string> pieces;
    bool peerCloses;
    std::vector<std::string> pkgs; // echoed, one per piece that completes lines
    std::vector<Expected> records;
    std::size_t midLine = 0, withoutDevice = 0, afterNul = 0;
  };
  const std::string nulLine("\0AA:BB,21.5\n", 12);
  const Case cases[] = {
      {"one line",
       {"AA:BB,21.5,40\n"},
       false,
       {ts + ",AA:BB,21.5,40\n"},
       {{"AA:BB", ts + ",AA:BB,21.5,40"}}},
      {"a burst of two lines",
       {"P,Q\nR,S\n"},
       false,
       {ts + ",P,Q\nR,S\n"},
       {{"P", ts + ",P,Q"}, {"S", "R,S"}}},
      {"a later line, as sent",
       {"A,1\n", "x,B,2\n"},
       false,
       {ts + ",A,1\n", "x,B,2\n"},
       {{"A", ts + ",A,1"}, {"B", "x,B,2"}}},
      {"a line in three pieces",
       {"PI", "ECE,1", "\n"},
       false,
       {ts + ",PIECE,1\n"},
       {{"PIECE", ts + ",PIECE,1"}}},
      {"a line that has not ended",
       {"A,1\nB,2,3"},
       false,
       {ts + ",A,1\n"},
       {{"A", ts + ",A,1"}},
       5},
      {"closed without a line feed", {"A,1"}, true, {ts + ",A,1"}, {{"A", ts + ",A,1"}}},
      {"NUL padding after the line",
       {std::string("A,1\n\0\0\r\n", 8)},
       false,
       {ts + ",A,1\n"},
       {{"A", ts + ",A,1"}}},
      {"a NUL ends the report",
       {std::string("A,1\nB\0,2\n", 9), "C,3\n"},
       false,
       {ts + ",A,1\nB"},
       {{"A", ts + ",A,1"}},
       0,
       1,
       5},
      {"a first line after a NUL", {nulLine}, false, {ts + ","}, {}, 0, 0, 10},
      {"a carriage return stays", {"A,1\r\n"}, false, {ts + ",A,1\r\n"}, {{"A", ts + ",A,1\r"}}},
      {"refused identifiers are records that are not stored",
       {"../x,1\nq,a/b\n"},
       false,
       {ts + ",../x,1\nq,a/b\n"},
       {{"../x", ts + ",../x,1", true}, {"a/b", "q,a/b", true}}},
      {"lines that name no device, blank ones aside",
       {"\nnocomma\n\r\nB,\n"},
       false,
       {ts + ",\nnocomma\n\r\nB,\n"},
       {},
       0,
       2},
  };
  for (const auto &c : cases) {
    ReportCutter cutter;
    std::vector<std::string> pkgs;
    std::vector<Record> records;
    std::size_t withoutDevice = 0;
    std::size_t afterNul = 0;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      Report report = cutter.take(c.pieces[i], now, c.peerCloses && i + 1 == c.pieces.size());
      if (!report.pkg.empty()) {
        pkgs.push_back(report.pkg);
      }
      records.insert(records.end(), report.records.begin(), report.records.end());
      withoutDevice += report.linesWithoutDevice;
      afterNul += report.bytesAfterNul;
    }
    EXPECT_EQ(pkgs, c.pkgs) << c.what;
    EXPECT_EQ(cutter.partialLineBytes(), c.midLine) << c.what;
    EXPECT_EQ(withoutDevice, c.withoutDevice) << c.what;
    EXPECT_EQ(afterNul, c.afterNul) << c.what;
    ASSERT_EQ(records.size(), c.records.size()) << c.what;
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_TRUE(c.records[i] == records[i]) << c.what << ": record " << i;
    }
  }
}

TEST(IdentifierOf, TakesTheFieldAfterTheTimeStamp) {
  struct Case {
    std::string record;
    std::optional<std::string> identifier;
  };
  const Case cases[] = {
      {"T,A,1", "A"},       {"T,A", "A"},        {"T,,x", ""},       {"T,A,", "A"},
      {"T,", std::nullopt}, {"T", std::nullopt}, {"", std::nullopt}, {",A", "A"},
  };
  for (const auto &c : cases) {
    const auto identifier = identifierOf(c.record);
    EXPECT_EQ(identifier ? std::optional<std::string>(*identifier) : std::nullopt, c.identifier)
        << c.record;
  }
}

} // namespace
