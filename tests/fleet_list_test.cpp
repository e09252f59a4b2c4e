// The fleet view with a device list, and its metrics for Prometheus, from readings of files
// made in memory and lists parsed from text: rows, statuses, label escaping, numbers and the
// metrics' text.

#include "fleet_fixture.hpp"

#include "fleet/model/fleet.hpp"
#include "fleet/render/plugin.hpp"
#include "fleet/render/prometheus.hpp"
#include "fleet/render/table.hpp"
#include "fleet/render/text.hpp"

#include "devices/device_list.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

namespace {

constexpr std::time_t now = 1'800'000'000;
const Window window{now}; // stale after 1h

// The file `name`.csv: 3 records, the last `ago` seconds old with `fields` after the identifier.
DeviceFile file(const std::string &name, std::int64_t ago, const std::string &fields = "") {
  FileReading reading;
  reading.records = 3;
  reading.lastSeen = now - ago;
  reading.last = {fields, fields.size(), numericFields(fields)};
  return {name + ".csv", reading};
}

// The same, in the second log directory read: a second collector's.
DeviceFile inSecond(DeviceFile file) {
  file.directory = 1;
  return file;
}

const DeviceList boards = parseDeviceList("[24:6F:28:A1:03:5C]\n"
                                          "name = Greenhouse north\n"
                                          "stale = 15m\n"
                                          "fields = temperature (°C), humidity (%)\n"
                                          "[30AEA40C2F44]\n"
                                          "name = Cellar\n"
                                          "[AABBCCDDEEFF]\n",
                                          "devices");

// Boards of a kind with value ranges; BB narrows its kind's warning range for temperature.
const DeviceList ranged = parseDeviceList("[kind greenhouse]\n"
                                          "fields = temperature (°C), humidity (%), battery (V)\n"
                                          "warn = temperature 5:30, battery 3.4:\n"
                                          "crit = temperature 2:35, battery 3.2:\n"
                                          "[AA]\nkind = greenhouse\nname = North\n"
                                          "[BB]\nkind = greenhouse\nwarn = temperature 8:28\n",
                                          "devices");

TEST(FleetWithAList, ShowsTheListsBoardsAndLeavesOtherFilesOutOfTheStatus) {
  struct Case {
    const char *what;
    std::vector<DeviceFile> files;
    // Device, records, state, last record and notes; in table order.
    std::vector<std::vector<std::string>> rows;
    std::string tail; // the table's lines after the rows
    FleetStatus status;
    const DeviceList *list = &boards;
  };
  const std::string own = " stale (no record for 1h, or for the time the device list gives)\n";
  const Case cases[] = {
      {"every board fresh, under its list spelling's file name, scanners' files aside",
       {file("246f28a1035c", 60, "21.5,55"), file("30-AE-A4-0C-2F-44", 120, "7"),
        file("AABBCCDDEEFF", 10, "1"), file("HELP", 5), file("gkrellm 0.0.0", 5), file("JRMI", 5)},
       {{"246F28A1035C (Greenhouse north)", "3", "ok", "21.5,55"},
        {"30AEA40C2F44 (Cellar)", "3", "ok", "7"},
        {"AABBCCDDEEFF", "3", "ok", "1"}},
       "3 devices, 0" + own + "3 files not in the device list: HELP, JRMI, gkrellm 0.0.0\n",
       FleetStatus::ok},
      {"one board in three spellings: one device, its newest record the last",
       {file("24-6f-28-a1-03-5c", 1200, "19,60"), file("246F28A1035C", 60, "21.5,55"),
        file("246f28a1035c", 3000, "18,61"), file("30AEA40C2F44", 60), file("AABBCCDDEEFF", 60)},
       {{"246F28A1035C (Greenhouse north)", "9", "ok",
         "21.5,55 [files 24-6f-28-a1-03-5c.csv, 246F28A1035C.csv, 246f28a1035c.csv]"},
        {"30AEA40C2F44 (Cellar)", "3", "ok", ""},
        {"AABBCCDDEEFF", "3", "ok", ""}},
       "3 devices, 0" + own,
       FleetStatus::ok},
      {"one board in two collectors' directories: one device, one note for its spellings",
       {file("246F28A1035C", 1200, "19,60"), inSecond(file("246F28A1035C", 60, "21.5,55")),
        inSecond(file("246f28a1035c", 3000, "18,61")), file("30AEA40C2F44", 60),
        file("AABBCCDDEEFF", 60)},
       {{"246F28A1035C (Greenhouse north)", "9", "ok",
         "21.5,55 [files 246F28A1035C.csv, 246f28a1035c.csv]"},
        {"30AEA40C2F44 (Cellar)", "3", "ok", ""},
        {"AABBCCDDEEFF", "3", "ok", ""}},
       "3 devices, 0" + own,
       FleetStatus::ok},
      {"a board only in the second directory; a scanner's file in both is named once",
       {file("246F28A1035C", 60), inSecond(file("30AEA40C2F44", 120, "7")),
        file("AABBCCDDEEFF", 10), file("HELP", 5), inSecond(file("HELP", 5))},
       {{"246F28A1035C (Greenhouse north)", "3", "ok", ""},
        {"30AEA40C2F44 (Cellar)", "3", "ok", "7"},
        {"AABBCCDDEEFF", "3", "ok", ""}},
       "3 devices, 0" + own + "1 file not in the device list: HELP\n",
       FleetStatus::ok},
      {"a spelling with no believed record makes its board no fresher, nor hides its values",
       {file("246F28A1035C", 7200, "21.5,55"),
        {"246f28a1035c.csv", {}},
        file("30AEA40C2F44", 60),
        file("AABBCCDDEEFF", 60)},
       {{"246F28A1035C (Greenhouse north)", "3", "STALE",
         "21.5,55 [files 246F28A1035C.csv, 246f28a1035c.csv]"},
        {"30AEA40C2F44 (Cellar)", "3", "ok", ""},
        {"AABBCCDDEEFF", "3", "ok", ""}},
       "3 devices, 1" + own,
       FleetStatus::warning},
      {"a listed board without a file never reported and is stale",
       {file("246F28A1035C", 60), file("AABBCCDDEEFF", 60)},
       {{"30AEA40C2F44 (Cellar)", "0", "STALE", "never reported"},
        {"246F28A1035C (Greenhouse north)", "3", "ok", ""},
        {"AABBCCDDEEFF", "3", "ok", ""}},
       "3 devices, 1" + own,
       FleetStatus::warning},
      {"the list's own threshold: 20 minutes is stale at 15m, not at the default 1h",
       {file("246F28A1035C", 1200), file("30AEA40C2F44", 1200), file("AABBCCDDEEFF", 1200)},
       {{"246F28A1035C (Greenhouse north)", "3", "STALE", ""},
        {"30AEA40C2F44 (Cellar)", "3", "ok", ""},
        {"AABBCCDDEEFF", "3", "ok", ""}},
       "3 devices, 1" + own,
       FleetStatus::warning},
      {"only files not on the list: every device never reported",
       {file("HELP", 5)},
       {{"246F28A1035C (Greenhouse north)", "0", "STALE", "never reported"},
        {"30AEA40C2F44 (Cellar)", "0", "STALE", "never reported"},
        {"AABBCCDDEEFF", "0", "STALE", "never reported"}},
       "3 devices, 3" + own + "1 file not in the device list: HELP\n",
       FleetStatus::critical},
      {"values in their ranges",
       {file("AA", 60, "21.5,55,3.9"), file("BB", 60, "20,50,3.8")},
       {{"AA (North)", "3", "ok", "21.5,55,3.9"}, {"BB", "3", "ok", "20,50,3.8"}},
       "",
       FleetStatus::ok,
       &ranged},
      {"a value in its warning range",
       {file("AA", 60, "31,55,3.9"), file("BB", 60, "20,50,3.8")},
       {{"AA (North)", "3", "WARNING", "31,55,3.9 [temperature 31 WARNING (5:30)]"},
        {"BB", "3", "ok", "20,50,3.8"}},
       "",
       FleetStatus::warning,
       &ranged},
      {"critical over warning; a board's own range over its kind's",
       {file("AA", 60, "29,55,3.9"), file("BB", 60, "29,50,3.1")},
       {{"BB", "3", "CRITICAL",
         "29,50,3.1 [temperature 29 WARNING (8:28)] [battery 3.1 CRITICAL (3.2:)]"},
        {"AA (North)", "3", "ok", "29,55,3.9"}},
       "",
       FleetStatus::critical,
       &ranged},
      {"no number where a range is set is unknown, never ok",
       {file("AA", 60, "n/a,55,3.9"), file("BB", 60, "20,50,3.8")},
       {{"AA (North)", "3", "UNKNOWN", "n/a,55,3.9 [temperature UNKNOWN (no number)]"},
        {"BB", "3", "ok", "20,50,3.8"}},
       "",
       FleetStatus::warning,
       &ranged},
      {"without a list, every file is a device",
       {file("A", 60), file("HELP", 7200)},
       {{"HELP", "3", "STALE", ""}, {"A", "3", "ok", ""}},
       "2 devices, 1 stale (no record for 1h)\n",
       FleetStatus::warning,
       nullptr},
      {"without a list, a file name in two directories is one device",
       {file("A", 7200, "1"), inSecond(file("A", 60, "2")), inSecond(file("B", 60))},
       {{"A", "6", "ok", "2"}, {"B", "3", "ok", ""}},
       "2 devices, 0 stale (no record for 1h)\n",
       FleetStatus::ok,
       nullptr},
      {"without a list or a file",
       {},
       {},
       "0 devices, 0 stale (no record for 1h)\n",
       FleetStatus::critical,
       nullptr},
  };
  for (const auto &c : cases) {
    const Fleet fleet = fleetOf(c.files, window, c.list);
    std::vector<std::vector<std::string>> rows;
    for (const FleetDevice &device : fleet.devices) {
      const DeviceWords words = wordsFor(device, window);
      rows.push_back({words.device, words.records, words.state,
                      words.last + (words.notes.empty() ? "" : " " + words.notes)});
    }
    EXPECT_EQ(rows, c.rows) << c.what;
    EXPECT_EQ(fleet.status, c.status) << c.what;
    const std::string table = tableText(fleet, 120);
    EXPECT_EQ(table.substr(table.size() - std::min(table.size(), c.tail.size())), c.tail)
        << c.what << "\n"
        << table;
  }
}

// Every output shows a field from these facts alone: a fault here shows in all of them.
TEST(DeviceFields, EachCarriesItsNameUnitRangesLastValueAndStateOnce) {
  struct Case {
    const char *what;
    DeviceFile file;
    const DeviceList *list;
    // Index, name, unit, warning and critical range, last value and state, for each field.
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"a board of a kind: no number where a range is set is unknown",
       file("AA", 60, "n/a,55,3.1"),
       &ranged,
       {"0 temperature °C 5:30 2:35 - unknown", "1 humidity % - - 55 ok",
        "2 battery V 3.4: 3.2: 3.1 critical"}},
      {"its own warning range over its kind's; a field the list does not name, by its number",
       file("BB", 60, "29,50,3.5,7"),
       &ranged,
       {"0 temperature °C 8:28 2:35 29 warning", "1 humidity % - - 50 ok",
        "2 battery V 3.4: 3.2: 3.5 ok", "3 field 6  - - 7 ok"}},
      {"without a list, the fields with a number, by their numbers",
       file("CC", 60, "1,abc,-2.5"),
       nullptr,
       {"0 field 3  - - 1 ok", "2 field 5  - - -2.5 ok"}},
  };
  const auto range = [](const AlertRange *r) {
    return r != nullptr ? r->text : "-";
  };
  const char *const states[] = {"ok", "warning", "critical", "unknown"};
  for (const Case &c : cases) {
    const Fleet fleet = fleetOf({c.file}, window, c.list);
    const auto device = std::find_if(fleet.devices.begin(), fleet.devices.end(),
                                     [&](const FleetDevice &d) { return !d.neverReported; });
    ASSERT_NE(device, fleet.devices.end()) << c.what;
    std::vector<std::string> fields;
    for (const DeviceField &f : device->fields) {
      std::ostringstream line;
      line << f.index << " " << f.name() << " " << f.unit() << " " << range(f.warn()) << " "
           << range(f.crit()) << " ";
      line << (f.last ? plainDecimal(*f.last) : "-") << " " << states[int(f.state)];
      fields.push_back(line.str());
    }
    EXPECT_EQ(fields, c.fields) << c.what;
  }
}

TEST(FleetAsAPlugin, GivesTheStatusLineWithPerformanceDataBeforeTheTable) {
  const Fleet fleet =
      fleetOf({file("AA", 60, "36.2,55,3.9,x"), file("BB", 7200, "20")}, window, &ranged);
  const std::string output = pluginOutput(fleet, tableText(fleet, 120));
  EXPECT_EQ(output.substr(0, output.find('\n')),
            "FLEET CRITICAL - 1 of 2 out of range, 1 stale | 'BB temperature'=20C;8:28;2:35;; "
            "'North temperature'=36.2C;5:30;2:35;; 'North humidity'=55%;;;; "
            "'North battery'=3.9V;3.4:;3.2:;;");
  EXPECT_EQ(output.substr(output.find('\n') + 1), tableText(fleet, 120));
  const std::pair<const char *, const char *> units[] = {
      {"°C", "C"}, {"%", "%"}, {"V", "V"}, {"dBm", "dBm"}, {"lux", ""}, {"°", ""}, {"", ""}};
  for (const auto &[unit, kept] : units) {
    EXPECT_EQ(perfdataUnit(unit), kept) << unit;
  }
  EXPECT_EQ(perfdataLabel("North temperature"), "'North temperature'");
  EXPECT_EQ(perfdataLabel("Bob's =shed"), "'Bob''s _shed'");
}

TEST(FleetAsAPlugin, EnginesReadEveryOutcomeRight) {
  // Plain decimals, with the digits the value has: engines and graphers read no exponent.
  const std::pair<double, const char *> values[] = {{1e5, "100000"},
                                                    {1e-5, "0.00001"},
                                                    {-1e-7, "-0.0000001"},
                                                    {21.5, "21.5"},
                                                    {-0.0, "-0"},
                                                    {3, "3"},
                                                    {1e21, "1000000000000000000000"},
                                                    {0.1 + 0.2, "0.30000000000000004"}};
  for (const auto &[value, text] : values) {
    EXPECT_EQ(plainDecimal(value), text) << value;
  }
  EXPECT_EQ(plainDecimal(1.7976931348623157e308).size(), 309U);
  EXPECT_EQ(plainDecimal(4.9e-324).size(), 326U);
  // A '|' anywhere but before the performance data would cut the output where engines read.
  const Fleet fleet = fleetOf({file("A|B", 60, "1e5")}, window);
  const std::string output =
      pluginOutput(fleet, tableText(fleet, 120), "cannot write x|y.html: No space");
  EXPECT_EQ(output.substr(0, output.find('\n')),
            "FLEET UNKNOWN - cannot write x\xc2\xa6y.html: No space; 0 of 1 out of range, 0 "
            "stale | 'A\xc2\xa6"
            "B field 3'=100000;;;;");
  EXPECT_EQ(std::count(output.begin(), output.end(), '|'), 1) << output;
  EXPECT_NE(output.find("\nA\xc2\xa6"
                        "B  "),
            std::string::npos)
      << output;
  EXPECT_EQ(pluginUnknown("cannot read a|b: No such file or directory"),
            "FLEET UNKNOWN - cannot read a\xc2\xa6"
            "b: No such file or directory\n");
}

TEST(Prometheus, EscapesLabelValuesAndReadsNumericFields) {
  // The format knows no \x escape: a byte that is not UTF-8 is written as the text \xNN.
  const std::pair<std::string, std::string> labels[] = {
      {"Greenhouse north", "Greenhouse north"},
      {"a\\b \"c\"\nd", R"(a\\b \"c\"\nd)"},
      {"Gewächshaus °C", "Gewächshaus °C"},
      {"bad \xff\xc3 end", R"(bad \\xff\\xc3 end)"},
      {"21\xb0"
       "C in Latin-1",
       R"(21\\xb0C in Latin-1)"},
  };
  for (const auto &[text, escaped] : labels) {
    EXPECT_EQ(prometheusLabelValue(text), escaped) << text;
  }
  // Finite decimals in the C locale, numbered as the operator counts fields.
  const std::pair<std::string, std::vector<std::pair<std::size_t, double>>> cases[] = {
      {"21.5,55", {{3, 21.5}, {4, 55}}},
      {"ok,-3e2,,0x1A,inf,nan,7", {{4, -300}, {9, 7}}},
      {" 21.5,21.5 ,+1.5,.5,5.,1e999,1e,-,NaN,Infinity,1,5",
       {{5, 1.5}, {6, 0.5}, {7, 5}, {13, 1}, {14, 5}}},
      {"1.7976931348623157e308,-0,1E-3", {{3, 1.7976931348623157e308}, {4, 0}, {5, 0.001}}},
      {"", {}},
  };
  for (const auto &[fields, expected] : cases) {
    std::vector<std::pair<std::size_t, double>> values;
    for (const FieldValue &value : numericFields(fields)) {
      values.emplace_back(value.field + firstValueFieldNumber, value.value);
    }
    EXPECT_EQ(values, expected) << fields;
  }
  const auto kept = numericFields(fleet_fixture::times(40, "7,")); // more than are read
  ASSERT_EQ(kept.size(), valueFieldsKept);
  EXPECT_EQ(kept.back().field, valueFieldsKept - 1);
}

TEST(Prometheus, WritesEveryMetricOnceWithItsSamples) {
  std::ostringstream metrics;
  writePrometheus(metrics, fleetOf({file("246F28A1035C", 1200, "21.5,55,x,9"),
                                    file("AABBCCDDEEFF", 60), file("HELP", 1)},
                                   window, &boards));
  const std::string text = metrics.str();
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
  // Each metric has one HELP and one TYPE, then its samples, all together.
  std::vector<std::string> helped;
  std::vector<std::string> typed;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.rfind("# ", 0) == 0 ? 7 : 0; // after "# HELP " or "# TYPE "
    const std::string name = line.substr(at, line.find_first_of("{ ", at) - at);
    if (at == 0) {
      EXPECT_EQ(name, typed.empty() ? "" : typed.back()) << line;
      EXPECT_EQ(helped, typed) << line;
    } else {
      (line.rfind("# HELP ", 0) == 0 ? helped : typed).push_back(name);
    }
  }
  EXPECT_EQ(typed.size(), 14U) << text;
  EXPECT_EQ(std::set<std::string>(typed.begin(), typed.end()).size(), typed.size()) << text;
  EXPECT_EQ(helped, typed) << text;
}

} // namespace
