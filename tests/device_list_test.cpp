// The device list: good files against what they say, bad files against the line they name.

#include "devices/device_list.hpp"

#include <gtest/gtest.h>

namespace {

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
  };
  for (const auto &c : cases) {
    try {
      parseDeviceList(c.text, "f");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const DeviceListError &e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }
}

TEST(DeviceList, AMissingFileIsAnError) {
  EXPECT_THROW(readDeviceList("/nonexistent/devices"), DeviceListError);
  EXPECT_THROW(readDeviceList("/"), DeviceListError);
  EXPECT_TRUE(parseDeviceList("", "f").devices.empty());
}

} // namespace
