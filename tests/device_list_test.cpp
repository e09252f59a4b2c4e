// The device list: good files against what they say, bad files against the line they name.

#include "devices/device_list.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <cstdlib>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// The mistake that `read` throws, or "accepted" when it throws none.
template <typename Read> std::string mistakeOf(const Read &read) {
  try {
    read();
    return "accepted";
  } catch (const DeviceListError &e) {
    return e.what();
  }
}

TEST(DeviceList, ReadsSectionsKeysAndComments) {
  const DeviceList list = parseDeviceList("# Boards of the greenhouse.\n"
                                          "; another comment\n"
                                          "\n"
                                          "[24:6F:28:A1:03:5C]\r\n"
                                          "name = Greenhouse north\n"
                                          "  stale=15m\n"
                                          "fields = temperature (°C), humidity (%), light\n"
                                          "[30AEA40C2F44]\n"
                                          "name = Cellar = dry\n",
                                          "devices");
  ASSERT_EQ(list.devices.size(), 2U);
  const Device &north = list.devices[0];
  EXPECT_EQ(north.identifier, "24:6F:28:A1:03:5C");
  EXPECT_EQ(north.name, "Greenhouse north");
  EXPECT_EQ(north.staleSeconds, 900);
  EXPECT_EQ(north.staleText, "15m");
  ASSERT_EQ(north.fields.size(), 3U);
  EXPECT_EQ(north.fields[0].name, "temperature");
  EXPECT_EQ(north.fields[0].unit, "°C");
  EXPECT_EQ(north.fields[1].unit, "%");
  EXPECT_EQ(north.fields[2].name, "light");
  EXPECT_EQ(north.fields[2].unit, "");
  EXPECT_EQ(list.devices[1].name, "Cellar = dry");
  EXPECT_FALSE(list.devices[1].staleSeconds);

  // Colons, hyphens and letter case do not tell two boards apart.
  for (const char *spelling : {"24:6f:28:a1:03:5c", "246F28A1035C", "24-6F-28-A1-03-5C"}) {
    EXPECT_EQ(list.find(spelling), &north) << spelling;
  }
  EXPECT_EQ(list.find("246F28A1035D"), nullptr);
  EXPECT_EQ(list.find(""), nullptr);
  // A copy finds its own devices, not those of the list it was copied from.
  const DeviceList copy = list;
  EXPECT_EQ(copy.find("246f28a1035c"), &copy.devices.front());
}

TEST(DeviceList, NamesTheFileAndLineOfTheFirstMistake) {
  const struct {
    std::string text, error;
  } cases[] = {
      {"[A]\ncolour = red\n", "f:2: unknown key 'colour' (name, stale and fields are known)"},
      {"[a:b]\n\n[A-B]\n", "f:3: device A-B is listed twice"},
      {"[A]\nstale = 15 minutes\n",
       "f:2: stale must be a duration such as 90s, 15m, 2h or 7d, not '15 minutes'"},
      {"[A]\nstale = 0m\n", "f:2: stale must be a duration such as 90s, 15m, 2h or 7d, not '0m'"},
      {"[A]\njust words\n", "f:2: neither a [device] header, a key = value line nor a comment"},
      {"name = x\n", "f:1: a key before the first [device] header"},
      {"[ ]\n", "f:1: a section without a device identifier"},
      {"[A]\nfields = a, , c\n", "f:2: a field without a name"},
      {"[::]\n", "f:1: a section without a device identifier"},
      {"[-]\n", "f:1: a section without a device identifier"},
      {"# Latin-1\n[A]\nname = Caf\xe9\n", "f:3: not UTF-8: byte \\xe9"},
      {"[A]\nname = \x1b[2JNorth\n", "f:2: a control character, \\x1b"},
      {"[A]\nname = North\xc2\x85\n", "f:2: a control character, \\xc2\\x85"},
      {"[A]\nfields = t, t\n", "f:2: the field name 't' is given twice"},
      {"[A]\nfields = t, field 5\n",
       "f:2: the field name 'field 5' is what unnamed fields are called"},
      {"[A,B]\n", "f:1: no board can send the identifier A,B"},
      {"[a/b]\n", "f:1: no board can send the identifier a/b"},
      {"[..]\n", "f:1: no board can send the identifier .."},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(mistakeOf([&] { parseDeviceList(c.text, "f"); }), c.error) << c.text;
  }
}

TEST(DeviceList, ReadsNothingButARegularFileOfBoundedSize) {
  std::string pattern = (fs::temp_directory_path() / "device-list-test-XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
  const fs::path dir = pattern;
  // Its byte order mark is skipped without counting as a line.
  std::ofstream(dir / "devices") << "\xEF\xBB\xBF[A]\ncolour = red\n";
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::ofstream(dir / "big").close();
  fs::resize_file(dir / "big", maxDeviceListBytes + 1);
  const std::string cannot = "cannot read the device list ";
  const struct {
    fs::path file;
    std::string error;
  } cases[] = {
      {dir / "devices", (dir / "devices").string() + ":2: unknown key 'colour' " +
                            "(name, stale and fields are known)"},
      {"/nonexistent/devices", cannot + "/nonexistent/devices: No such file or directory"},
      {"/", cannot + "/: not a regular file"},
      {"/dev/zero", cannot + "/dev/zero: not a regular file"},
      {dir / "fifo", cannot + (dir / "fifo").string() + ": not a regular file"},
      {dir / "big", cannot + (dir / "big").string() +
                        ": it holds 16777217 bytes; a device list may hold at most 16 MiB"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(mistakeOf([&] { readDeviceList(c.file); }), c.error) << c.file;
  }
  EXPECT_TRUE(parseDeviceList("", "f").devices.empty());
  fs::remove_all(dir);
}

} // namespace
