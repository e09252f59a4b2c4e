// The fleet view with a device list, and its metrics for Prometheus, from summaries made in
// memory and lists parsed from text: rows, statuses, label escaping and the metrics' text.

#include "fleet/prometheus.hpp"
#include "fleet/reading.hpp"
#include "fleet/table.hpp"

#include "devices/device_list.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr std::time_t now = 1'800'000'000;

Window window() {
  Window w;
  w.now = now;
  return w; // stale after 1h
}

// A file of `name` whose last record is `ago` seconds old; ago < 0: no record at all.
DeviceSummary file(const std::string &name, std::int64_t ago, const std::string &fields = "") {
  DeviceSummary summary;
  summary.fileName = name + ".csv";
  summary.name = name;
  summary.records = ago < 0 ? 0 : 3;
  summary.lastSeen = ago < 0 ? 0 : now - ago;
  summary.lastFields = fields;
  summary.lastFieldsLength = fields.size();
  return summary;
}

const DeviceList list = parseDeviceList("[24:6F:28:A1:03:5C]\n"
                                        "name = Greenhouse north\n"
                                        "stale = 15m\n"
                                        "fields = temperature (°C), humidity (%)\n"
                                        "[30AEA40C2F44]\n"
                                        "name = Cellar\n"
                                        "[AABBCCDDEEFF]\n",
                                        "devices");

struct Row {
  std::string device, state, last;
};

std::vector<Row> rowsOf(const ListedFleet &fleet) {
  std::vector<DeviceSummary> devices = fleet.devices;
  sortForTheOperator(devices, window());
  std::vector<Row> rows;
  for (const auto &device : devices) {
    const TableRow row = tableRow(device, window());
    rows.push_back({row.device, row.state, row.last});
  }
  return rows;
}

TEST(FleetWithAList, ShowsTheListsBoardsAndLeavesOtherFilesOutOfTheStatus) {
  struct Case {
    const char *what;
    std::vector<DeviceSummary> files;
    std::vector<std::vector<std::string>> rows; // device, state, last record; in table order
    std::string notListed;                      // the line after the table
    FleetStatus status;
  };
  const Case cases[] = {
      {"every board fresh, scanners' files aside",
       {file("246f28a1035c", 60, "21.5,55"), file("30-AE-A4-0C-2F-44", 120, "7"),
        file("AABBCCDDEEFF", 10, "1"), file("HELP", 5), file("gkrellm 0.0.0", 5), file("JRMI", 5)},
       {{"246f28a1035c (Greenhouse north)", "ok", "21.5,55"},
        {"30-AE-A4-0C-2F-44 (Cellar)", "ok", "7"},
        {"AABBCCDDEEFF", "ok", "1"}},
       "3 files not in the device list: HELP, JRMI, gkrellm 0.0.0",
       FleetStatus::everyDeviceFresh},
      {"a listed board without a file never reported and is stale",
       {file("246F28A1035C", 60), file("AABBCCDDEEFF", 60)},
       {{"30AEA40C2F44 (Cellar)", "STALE", "never reported"},
        {"246F28A1035C (Greenhouse north)", "ok", ""},
        {"AABBCCDDEEFF", "ok", ""}},
       "",
       FleetStatus::someStale},
      {"the list's own threshold: 20 minutes is stale at 15m, not at the default 1h",
       {file("246F28A1035C", 1200), file("30AEA40C2F44", 1200), file("AABBCCDDEEFF", 1200)},
       {{"246F28A1035C (Greenhouse north)", "STALE", ""},
        {"30AEA40C2F44 (Cellar)", "ok", ""},
        {"AABBCCDDEEFF", "ok", ""}},
       "",
       FleetStatus::someStale},
      {"only files not on the list: every device never reported",
       {file("HELP", 5)},
       {{"24:6F:28:A1:03:5C (Greenhouse north)", "STALE", "never reported"},
        {"30AEA40C2F44 (Cellar)", "STALE", "never reported"},
        {"AABBCCDDEEFF", "STALE", "never reported"}},
       "1 file not in the device list: HELP",
       FleetStatus::everyDeviceStaleOrNone},
  };
  for (const auto &c : cases) {
    const ListedFleet fleet = applyDeviceList(c.files, list);
    std::vector<std::vector<std::string>> rows;
    for (const auto &row : rowsOf(fleet)) {
      rows.push_back({row.device, row.state, row.last});
    }
    EXPECT_EQ(rows, c.rows) << c.what;
    EXPECT_EQ(notListedLine(fleet.notListed), c.notListed) << c.what;
    EXPECT_EQ(fleetStatus(fleet.devices, window()), c.status) << c.what;
    const std::string table = tableText(fleet.devices, window(), 120, fleet.notListed);
    EXPECT_EQ(table.find(c.notListed + "\n") != std::string::npos, true) << c.what << table;
  }
}

TEST(FleetWithAList, WithoutAListEveryFileIsADeviceAsBefore) {
  const std::vector<DeviceSummary> files{file("A", 60), file("HELP", 7200)};
  EXPECT_EQ(fleetStatus(files, window()), FleetStatus::someStale);
  EXPECT_EQ(tableText(files, window(), 120).find("not in the device list"), std::string::npos);
  EXPECT_EQ(fleetSummaryLine(files, window()), "2 devices, 1 stale (no record for 1h)");
}

TEST(Prometheus, EscapesLabelValuesAndReadsNumericFields) {
  const std::pair<std::string, std::string> labels[] = {
      {"Greenhouse north", "Greenhouse north"},
      {"a\\b \"c\"\nd", R"(a\\b \"c\"\nd)"},
      {"Gewächshaus °C", "Gewächshaus °C"},
      {std::string("bad \xff\xc3 end"), "bad \\xff\\xc3 end"},
  };
  for (const auto &[text, escaped] : labels) {
    EXPECT_EQ(prometheusLabelValue(text), escaped) << text;
  }
  struct Case {
    std::string fields;
    bool cut;
    std::vector<std::pair<std::size_t, double>> values;
  };
  const Case cases[] = {
      {"21.5,55", false, {{3, 21.5}, {4, 55}}},
      {"ok,-3e2,,0x1A,inf,nan,7", false, {{4, -300}, {9, 7}}},
      {"1,2,34", true, {{3, 1}, {4, 2}}}, // the last field was cut short: not trusted
      {"", false, {}},
  };
  for (const auto &c : cases) {
    DeviceSummary device = file("A", 1, c.fields);
    device.lastFieldsLength += c.cut ? 10 : 0;
    EXPECT_EQ(lastNumericFields(device), c.values) << c.fields;
  }
}

TEST(Prometheus, WritesEveryMetricOnceWithItsSamples) {
  const ListedFleet fleet = applyDeviceList(
      {file("246F28A1035C", 1200, "21.5,55,x,9"), file("AABBCCDDEEFF", 60), file("HELP", 1)}, list);
  const std::string text = prometheusText(fleet.devices, fleet.notListed, window());
  const std::string device = R"(device="246F28A1035C",name="Greenhouse north")";
  const std::string expected[] = {
      "report_collector_devices 3\n",
      "report_collector_stale_devices 2\n",
      "report_collector_unlisted_files 1\n",
      "report_collector_window_seconds 86400\n",
      "report_collector_last_record_timestamp_seconds{" + device + "} 1799998800\n",
      "report_collector_window_records{" + device + "} 3\n",
      "report_collector_window_records{device=\"AABBCCDDEEFF\"} 3\n",
      "report_collector_window_records{device=\"30AEA40C2F44\",name=\"Cellar\"} 0\n",
      "report_collector_stale{" + device + "} 1\n",
      "report_collector_stale{device=\"AABBCCDDEEFF\"} 0\n",
      "report_collector_stale{device=\"30AEA40C2F44\",name=\"Cellar\"} 1\n",
      "report_collector_stale_threshold_seconds{" + device + "} 900\n",
      "report_collector_field_value{" + device + ",field=\"temperature\",unit=\"°C\"} 21.5\n",
      "report_collector_field_value{" + device + ",field=\"humidity\",unit=\"%\"} 55\n",
      "report_collector_field_value{" + device + ",field=\"field 6\"} 9\n",
  };
  for (const auto &line : expected) {
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  }
  // A device that never reported has no time of a last record; nothing from HELP's file.
  EXPECT_EQ(text.find("timestamp_seconds{device=\"30AEA40C2F44\""), std::string::npos);
  EXPECT_EQ(text.find("HELP\""), std::string::npos);
  // HELP and TYPE once per metric, each metric's samples together after them.
  std::size_t helps = 0;
  std::size_t types = 0;
  for (std::size_t at = text.find("# HELP "); at != std::string::npos;
       at = text.find("# HELP ", at + 1)) {
    ++helps;
  }
  for (std::size_t at = text.find("# TYPE "); at != std::string::npos;
       at = text.find("# TYPE ", at + 1)) {
    ++types;
  }
  EXPECT_EQ(helps, 9U);
  EXPECT_EQ(types, 9U);
}

} // namespace
