// The device list: good files against what they say, bad files against the line they name.

#include "devices/device_list.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <cstdlib>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

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
                                          "name = Greenhouse\tnorth\n"
                                          "  stale=15m\n"
                                          "fields = temperature\t(°C), humidity (%), light\n"
                                          "[30AEA40C2F44]\n"
                                          "name = Cellar = dry\n",
                                          "devices");
  ASSERT_EQ(list.devices.size(), 2U);
  const Device &north = list.devices[0];
  EXPECT_EQ(north.identifier, "24:6F:28:A1:03:5C");
  EXPECT_EQ(north.name, "Greenhouse north") << "a tab in a value is a blank";
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

// "alerts" or "quiet" for `value` against the range `text`, or what is wrong with `text`.
std::string verdict(const std::string &text, double value) {
  const auto range = parseAlertRange(text);
  if (const auto *why = std::get_if<std::string>(&range)) {
    return *why;
  }
  EXPECT_EQ(std::get<AlertRange>(range).text, text);
  return alerts(std::get<AlertRange>(range), value) ? "alerts" : "quiet";
}

TEST(AlertRange, AlertsInTheMannerOfMonitoringPlugins) {
  const struct {
    std::string range;
    double value;
    std::string verdict;
  } cases[] = {
      {"10", -0.1, "alerts"},
      {"10", 0, "quiet"},
      {"10", 10, "quiet"},
      {"10", 10.1, "alerts"},
      {"10:", 9.9, "alerts"},
      {"10:", 10, "quiet"},
      {"10:", 1e300, "quiet"},
      {"~:10", -1e300, "quiet"},
      {"~:10", 10, "quiet"},
      {"~:10", 10.1, "alerts"},
      {"10:20", 9.9, "alerts"},
      {"10:20", 10, "quiet"},
      {"10:20", 20, "quiet"},
      {"10:20", 20.1, "alerts"},
      {"@10:20", 9.9, "quiet"},
      {"@10:20", 10, "alerts"},
      {"@10:20", 20, "alerts"},
      {"@10:20", 20.1, "quiet"},
      {"@10", -0.1, "quiet"},
      {"@10", 0, "alerts"},
      {"@10", 10, "alerts"},
      {"@10", 10.1, "quiet"},
      {"@~:10", -1e300, "alerts"},
      {"@~:10", 10.1, "quiet"},
      {"-5:-2.5", -5.1, "alerts"},
      {"-5:-2.5", -2.5, "quiet"},
      {"+.5:5.", 0.4, "alerts"},
      {"", 0, "it is empty"},
      {"-1", 0, "its start is above its end"},
      {":10", 0, "nothing before ':', where 0 or '~' goes"},
      {"~:", 0, "it has neither a start nor an end"},
      {"10:~", 0, "'~' stands for no start, before ':'"},
      {"1e3", 0, "'1e3' is not a finite decimal number"},
      {"1" + std::string(400, '0'), 0,
       "'1" + std::string(400, '0') + "' is not a finite decimal number"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(verdict(c.range, c.value), c.verdict) << c.range << " " << c.value;
  }
}

// A board as the list gives it: its kind, stale, and each field with its ranges.
std::string summary(const Device &device) {
  std::string text = device.kind + " " + device.staleText + ":";
  for (const FieldName &field : device.fields) {
    text += " " + field.name + " (" + field.unit + ") " + (field.warn ? field.warn->text : "-") +
            " " + (field.crit ? field.crit->text : "-") + ",";
  }
  return text;
}

TEST(DeviceList, GivesEachBoardWhatItsKindGivesUnlessItSaysOtherwise) {
  const DeviceList list = parseDeviceList("[A]\n"
                                          "kind = greenhouse\n"
                                          "warn = temperature 8:28\n"
                                          "[B]\n"
                                          "kind = greenhouse\n"
                                          "fields = temperature (°F), light\n"
                                          "stale = 1h\n"
                                          "crit = light @0\n"
                                          "[C]\n"
                                          "fields = t\n"
                                          "warn = t 1:\n"
                                          "[kind greenhouse]\n"
                                          "fields = temperature (°C), battery (V)\n"
                                          "warn = temperature 5:30, battery 3.4:\n"
                                          "crit = temperature 2:35\n"
                                          "stale = 15m\n",
                                          "f");
  const struct {
    std::string identifier, summary;
  } cases[] = {
      {"A", "greenhouse 15m: temperature (°C) 8:28 2:35, battery (V) 3.4: -,"},
      {"B", "greenhouse 1h: temperature (°F) 5:30 2:35, light () - @0,"},
      {"C", " : t () 1: -,"},
  };
  ASSERT_EQ(list.devices.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(list.devices[i].identifier, cases[i].identifier);
    EXPECT_EQ(summary(list.devices[i]), cases[i].summary) << cases[i].identifier;
  }
  EXPECT_EQ(list.find("kind greenhouse"), nullptr);
  EXPECT_EQ(list.find("greenhouse"), nullptr);
}

TEST(DeviceList, NamesTheFileAndLineOfTheFirstMistake) {
  const struct {
    std::string text, error;
  } cases[] = {
      {"[A]\ncolour = red\n",
       "f:2: unknown key 'colour' (name, kind, stale, fields, warn and crit are known)"},
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
      {"[A]\nfields = t\nwarn = t 5:3\n",
       "f:3: warn range '5:3' for t: its start is above its end"},
      {"[A]\nfields = t\ncrit = t abc\n",
       "f:3: crit range 'abc' for t: 'abc' is not a finite decimal number"},
      {"[A]\nfields = t\nwarn = t 1:2:3\n",
       "f:3: warn range '1:2:3' for t: it has more than one ':'"},
      {"[A]\nfields = t\nwarn = t ~\n",
       "f:3: warn range '~' for t: '~' stands for no start, before ':'"},
      {"[A]\nfields = t\nwarn = t @\n", "f:3: warn range '@' for t: nothing follows '@'"},
      {"[A]\nfields = t\nwarn = t 0x10\n",
       "f:3: warn range '0x10' for t: '0x10' is not a finite decimal number"},
      {"[A]\nfields = t\nwarn = t inf\n",
       "f:3: warn range 'inf' for t: 'inf' is not a finite decimal number"},
      {"[A]\nfields = t\nwarn = t\n",
       "f:3: warn wants a field name and a range, such as 'temperature 5:30', not 't'"},
      {"[A]\nwarn = pressure 1:\nfields = t\n", "f:2: warn: no field is named 'pressure'"},
      {"[A]\nfields = t\ncrit = t 1:, t 2:\n", "f:3: crit gives a range for 't' twice"},
      {"[A]\nkind = glass\n[kind glasshouse]\n",
       "f:2: unknown kind 'glass': no [kind glass] section defines it"},
      {"[kind k]\n[kind  k ]\n", "f:2: kind k is defined twice"},
      {"[kind k]\nname = x\n", "f:2: name is a board's key, not a kind's"},
      {"[kind k]\nkind = x\n", "f:2: kind is a board's key, not a kind's"},
      {"[kind k]\ncolour = red\n",
       "f:2: unknown key 'colour' (stale, fields, warn and crit are known in a kind)"},
      {"[kind]\n", "f:1: a kind without a name"},
      {"[A]\nkind =\n", "f:2: a kind without a name"},
      {"[kind k]\nfields = t\nwarn = h 1:\n", "f:3: warn: no field is named 'h'"},
      {"[kind k]\nfields = t, h\n[A]\nkind = k\nfields = t\ncrit = h 1:\n",
       "f:6: crit: no field is named 'h'"},
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
                            "(name, kind, stale, fields, warn and crit are known)"},
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

TEST(DeviceList, AFullListCostsAFewTimesItsSize) {
  // The largest list, of the shortest sections: a board of a kind, and one of its own ranges.
  std::string text = "[kind greenhouse]\nfields = temperature (°C), humidity (%), battery (V)\n"
                     "warn = temperature 5:30, battery 3.4:\ncrit = temperature 2:35\n";
  for (unsigned board = 0; text.size() < maxDeviceListBytes - 64; ++board) {
    char section[64];
    std::snprintf(section, sizeof section, "[%012X]\nkind = greenhouse\n", board);
    text += section;
  }
  text += "[ABCDEF]\nkind = greenhouse\nwarn = humidity 30:\n";
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const DeviceList list = parseDeviceList(text, "f");
    const Device &last = list.devices.back();
    ::_exit(list.devices.size() > 400000 && last.fields[1].warn && !list.devices[0].fields[1].warn
                ? 0
                : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the list read wrong";
  rusage usage{};
  ::getrusage(RUSAGE_CHILDREN, &usage);
  std::cout << "a list of 16 MiB: peak " << usage.ru_maxrss / 1024 << " MiB\n";
#ifndef __SANITIZE_ADDRESS__ // whose shadow memory counts too
  // Its text, held by the test too, and 10 times more; 28 times before kinds were shared.
  EXPECT_LT(usage.ru_maxrss * 1024, 11 * std::int64_t(maxDeviceListBytes));
#endif
}

} // namespace
