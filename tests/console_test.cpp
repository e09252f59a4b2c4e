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
      // C1 controls, in UTF-8 and as raw bytes, and what is not UTF-8 at all
      {"\xc2\x9b"
       "31m\xc2\x9d"
       "0;t",
       R"(\xc2\x9b31m\xc2\x9d0;t)"},
      {"\x9b"
       "X\xc2\xa0\xe2\x82\xac",
       "\\x9b"
       "X\xc2\xa0\xe2\x82\xac"},
      {"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82",
       R"(\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82)"},
      {"\xf0\x9f\x8c\xa1", "\xf0\x9f\x8c\xa1"},
      // controls that reorder text or break lines; their neighbours U+200D, U+2027, U+202F,
      // U+2065, U+206A and U+061B stay
      {"A,\xe2\x80\xae"
       "1.12\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\xaa\xe2\x80\x8f\xd8\x9c\xe2\x80\xa8",
       R"(A,\xe2\x80\xae1.12\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\xaa\xe2\x80\x8f\xd8\x9c\xe2\x80\xa8)"},
      {"\xe2\x80\x8d\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xd8\x9b",
       "\xe2\x80\x8d\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xd8\x9b"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(console::withoutControlBytes(c.text), c.shown);
  }
}

} // namespace
