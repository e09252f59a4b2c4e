// Which records a device list lets the collector store.

#include "server/admission.hpp"

#include <gtest/gtest.h>

namespace {

TEST(RefusalByDeviceList, AdmitsListedIdentifiersInAnySpelling) {
  const DeviceKeys devices(parseDeviceList("[24:6F:28:A1:03:5C]\n[30aea40c2f44]\n", "devices"));
  struct Case {
    std::string identifier;
    std::optional<std::string> refusal;
  };
  const Case cases[] = {
      {"24:6F:28:A1:03:5C", std::nullopt},
      {"246f28a1035c", std::nullopt},
      {"24-6f-28-a1-03-5c", std::nullopt},
      {"30:AE:A4:0C:2F:44", std::nullopt},
      {"30AEA40C2F4", "refused device identifier \"30AEA40C2F4\": it is not in the device list"},
      {"HELP", "refused device identifier \"HELP\": it is not in the device list"},
      {"", "refused device identifier \"\": it is not in the device list"},
      {"a\x1b[2J\\", R"(refused device identifier "a\x1b[2J\x5c": it is not in the device list)"},
  };
  for (const auto &c : cases) {
    const Record record{c.identifier, c.identifier + ",1", c.identifier + ".csv"};
    EXPECT_EQ(refusalByDeviceList(&devices, record), c.refusal) << c.identifier;
    EXPECT_EQ(refusalByDeviceList(nullptr, record), std::nullopt) << c.identifier;
  }
}

} // namespace
