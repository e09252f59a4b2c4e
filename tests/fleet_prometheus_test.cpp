// The fleet view with a device list on real device files, its table and its metrics, read by
// the real promtool and served by a real node_exporter in a network namespace of its own.

#include "fleet_fixture.hpp"
#include "harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace harness;
using namespace fleet_fixture;

namespace {

// The port node_exporter listens on, free in a network namespace of the test's own.
constexpr int exporterPort = 9100;

class FleetMetrics : public ::testing::Test {
protected:
  void SetUp() override {
    enterPrivateNetwork();
    fs::create_directories(dir / "log");
    fs::create_directories(dir / "textfile");
    std::ofstream(dir / "devices") << "# the greenhouse\n"
                                      "[24:6F:28:A1:03:5C]\n"
                                      "name = Greenhouse \"north\"\n"
                                      "stale = 15m\n"
                                      "fields = temperature (°C), humidity (%)\n"
                                      "\n"
                                      "[30AEA40C2F44]\n"
                                      "name = Cellar\n"
                                      "[AA-BB-CC-DD-EE-FF]\n";
    // Each board's last record is 20 minutes old: stale for the greenhouse's 15m only.
    for (const std::string name : {"246F28A1035C", "aabbccddeeff", "HELP", "gkrellm 0.0.0"}) {
      temp.write("log/" + name + ".csv",
                 record(3600, name + ",19,60") + record(1200, name + ",21.5,55"));
    }
  }
  void TearDown() override {
    if (exporter > 0) {
      ::kill(exporter, SIGTERM);
      ::waitpid(exporter, nullptr, 0);
    }
  }
  // Runs a shell command line in `dir`; its exit status, with standard output in dir/out and
  // standard error in dir/err.
  int shell(const std::string &command) const {
    const std::string line = "cd " + dir.string() + " && " + command + " >out 2>err";
    return WEXITSTATUS(std::system(line.c_str()));
  }
  std::string out() const {
    return readFile(dir / "out");
  }
  std::string err() const {
    return readFile(dir / "err");
  }
  void startExporter() {
    exporter = ::fork();
    check(exporter >= 0, "fork");
    if (exporter == 0) {
      const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(exporterPort);
      const std::string textfiles = "--collector.textfile.directory=" + (dir / "textfile").string();
      const std::string log = (dir / "exporter.log").string();
      (void)!std::freopen(log.c_str(), "w", stderr);
      ::execlp("prometheus-node-exporter", "prometheus-node-exporter", listen.c_str(),
               textfiles.c_str(), "--collector.disable-defaults", "--collector.textfile",
               static_cast<char *>(nullptr));
      ::_exit(127);
    }
  }
  // The body of node_exporter's /metrics, fetched with a plain HTTP/1.0 request.
  static std::string fetchMetrics() {
    const int fd = tryConnect(exporterPort);
    if (fd < 0) {
      return "";
    }
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::string response;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[65536];
      ssize_t got = 0;
      while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        response.append(buffer, static_cast<std::size_t>(got));
      }
    }
    ::close(fd);
    const auto body = response.find("\r\n\r\n");
    return body == std::string::npos ? "" : response.substr(body + 4);
  }
  TempDir temp;
  const fs::path &dir = temp.path();
  pid_t exporter = -1;
};

// The samples of report_collector_ metrics in `text`, each line's name and labels mapped to
// its value.
std::map<std::string, std::string> samples(const std::string &text) {
  std::map<std::string, std::string> found;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("report_collector_", 0) == 0) {
      const auto space = line.rfind(' ');
      found[line.substr(0, space)] = line.substr(space + 1);
    }
  }
  return found;
}

TEST_F(FleetMetrics, AListThatCannotBeReadIsUnknown) {
  const std::pair<std::string, std::string> cases[] = {
      {"missing", "cannot use the device list: "},
      {"bad", "cannot use the device list: bad:2: "},
  };
  std::ofstream(dir / "bad") << "[A]\nnick = x\n";
  for (const auto &[file, reason] : cases) {
    EXPECT_EQ(shell(FLEET_BINARY " --devices " + file + " --prometheus textfile/fleet.prom"), 3);
    EXPECT_EQ(err().find("report-collector-fleet: " + reason), 0U) << err();
    EXPECT_EQ(out(), "");
    EXPECT_FALSE(fs::exists(dir / "textfile" / "fleet.prom"));
  }
}

TEST_F(FleetMetrics, PromtoolFindsNothingAndNodeExporterServesTheValues) {
  ASSERT_EQ(shell(FLEET_BINARY " --devices devices --prometheus textfile/fleet.prom"), 1) << err();
  // The table, too, is of the list's boards, the other files aside.
  EXPECT_NE(out().find("3 devices, 2 stale (no record for 1h, or for the time the device list "
                       "gives)\n2 files not in the device list: HELP, gkrellm 0.0.0\n"),
            std::string::npos)
      << out();
  // Only the file itself is left in the directory: the temporary one was renamed into place.
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir / "textfile")) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"fleet.prom"});
  EXPECT_EQ(shell("promtool check metrics <textfile/fleet.prom"), 0) << out() << err();
  EXPECT_EQ(out() + err(), "");

  startExporter();
  std::string metrics;
  ASSERT_TRUE(eventually([&] {
    metrics = fetchMetrics();
    return metrics.find("report_collector_devices") != std::string::npos;
  })) << readFile(dir / "exporter.log");
  // node_exporter read the file without an error.
  EXPECT_NE(metrics.find("node_textfile_scrape_error 0"), std::string::npos) << metrics;
  const std::string greenhouse = R"(device="246F28A1035C",name="Greenhouse \"north\"")";
  const std::string cellar = R"(device="30AEA40C2F44",name="Cellar")";
  const std::map<std::string, std::string> expected{
      {"report_collector_devices", "3"},
      {"report_collector_stale_devices", "2"},
      {"report_collector_unlisted_files", "2"},
      {"report_collector_last_record_timestamp_seconds{" + greenhouse + "}",
       // node_exporter writes large values in exponent form.
       ""},
      {"report_collector_window_records{" + greenhouse + "}", "2"},
      {"report_collector_window_records{" + cellar + "}", "0"},
      {"report_collector_stale{" + greenhouse + "}", "1"},
      {"report_collector_stale{" + cellar + "}", "1"},
      // Shown under the name of the file its list spelling gives, whatever its file's spelling.
      {R"(report_collector_stale{device="AA-BB-CC-DD-EE-FF",name=""})", "0"},
      {R"(report_collector_field_value{device="AA-BB-CC-DD-EE-FF",field="field 4",name="",)"
       R"(unit=""})",
       "55"},
      {"report_collector_stale_threshold_seconds{" + greenhouse + "}", "900"},
      {"report_collector_stale_threshold_seconds{" + cellar + "}", "3600"},
      {R"(report_collector_field_value{device="246F28A1035C",field="humidity",)"
       R"(name="Greenhouse \"north\"",unit="%"})",
       "55"},
      {R"(report_collector_field_value{device="246F28A1035C",field="temperature",)"
       R"(name="Greenhouse \"north\"",unit="°C"})",
       "21.5"},
  };
  // node_exporter serves the labels sorted by name, each metric with the same labels on
  // every sample, those a sample lacked given empty values.
  const auto served = samples(metrics);
  for (const auto &[sample, value] : expected) {
    const auto found = served.find(sample);
    ASSERT_NE(found, served.end()) << sample << "\n" << metrics;
    if (value.empty()) {
      EXPECT_EQ(std::stod(found->second), static_cast<double>(now - 1200)) << sample;
    } else {
      EXPECT_EQ(found->second, value) << sample;
    }
  }
  EXPECT_EQ(served.count("report_collector_last_record_timestamp_seconds{" + cellar + "}"), 0U);
}

} // namespace
