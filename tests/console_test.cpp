// What the console shows of bytes that came from the network.

#include "server/console.hpp"

#include <gtest/gtest.h>

namespace {

TEST(WithoutControlBytes, ShowsWhatCouldDriveATerminalAsHex) {
  const struct {
    std::string text, shown;
  } cases[] = {
      {"TS,A,21.5\tx\n", "TS,A,21.5\tx\n"},
      {"\x1b]0;pwned\a\x1b[2J", R"(\x1b]0;pwned\x07\x1b[2J)"},
      {"A,1\r\n", "A,1\r\n"},
      {"A,\r1\r", R"(A,\x0d1\x0d)"},
      {std::string("a\0b\x7f", 4), R"(a\x00b\x7f)"},
      {"Gr\xc3\xbcn,\\", "Gr\xc3\xbcn,\\"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(console::withoutControlBytes(c.text), c.shown);
  }
}

} // namespace
