// What the bytes from one peer become: the echo, the records and the problems.

#include "devicelog/record_format.hpp"
#include "devicelog/report.hpp"

#include <gtest/gtest.h>

#include <ctime>

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

TEST(MakeReport, StampsTheFirstLineAndRoutesEveryRecord) {
  const std::time_t now = 1765200000;
  const std::string ts = formatTimestamp(now);
  struct Case {
    const char *what;
    std::string received, pkg;
    std::size_t dropped;
    std::vector<Expected> records;
  };
  const Case cases[] = {
      {"one line",
       "AA:BB,21.5,40\n",
       ts + ",AA:BB,21.5,40\n",
       0,
       {{"AA:BB", ts + ",AA:BB,21.5,40"}}},
      {"a burst of two lines",
       "P,Q\nR,S\n",
       ts + ",P,Q\nR,S\n",
       0,
       {{"P", ts + ",P,Q"}, {"S", "R,S"}}},
      {"a fragment after the last line feed", "A,1\nB,2,3", ts + ",A,1\n", 5, {{"A", ts + ",A,1"}}},
      {"closed without a line feed", "A,1", ts + ",A,1", 0, {{"A", ts + ",A,1"}}},
      {"cut at the first NUL",
       std::string("A,1\nB\0,2\n", 9),
       ts + ",A,1\nB",
       0,
       {{"A", ts + ",A,1"}}},
      {"a carriage return stays", "A,1\r\n", ts + ",A,1\r\n", 0, {{"A", ts + ",A,1\r"}}},
      {"refused identifiers are records that are not stored",
       "../x,1\nq,a/b\n",
       ts + ",../x,1\nq,a/b\n",
       0,
       {{"../x", ts + ",../x,1", true}, {"a/b", "q,a/b", true}}},
      {"lines without an identifier", "\nnocomma\nB,\n", ts + ",\nnocomma\nB,\n", 0, {}},
  };
  for (const auto &c : cases) {
    const Report report = makeReport(c.received, now);
    EXPECT_EQ(report.pkg, c.pkg) << c.what;
    EXPECT_EQ(report.droppedBytes, c.dropped) << c.what;
    EXPECT_EQ(report.records.size(), c.records.size()) << c.what;
    for (std::size_t i = 0; i < std::min(report.records.size(), c.records.size()); ++i) {
      EXPECT_TRUE(c.records[i] == report.records[i]) << c.what << ": record " << i;
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
