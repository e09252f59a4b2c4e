#include "fleet/command/options.hpp"

#include "fleet/render/plugin.hpp"

#include "devices/device_list.hpp"

#include "base/write_all.hpp"

#include "cli/command_line.hpp"

#include <map>
#include <string_view>
#include <utility>

#include <unistd.h>

namespace {

constexpr const char *usage = R"(Usage: report-collector-fleet [OPTION]...
Tells which devices report and which went silent, from the device files that
report-collector writes, and what they measured.

  -d, --log-dir=DIR     read the device files in DIR (default: log); given more
                        than once, the directories are one fleet, such as those
                        of two collectors, and each must be readable
      --stale=DURATION  a device with no record for this long is stale (default: 1h)
      --since=DURATION  count and draw the records of this window (default: 24h)
      --html=FILE       also write a page with the table and a chart per device
      --devices=FILE    the boards are those of the device list FILE: their names,
                        stale thresholds, field names and value ranges; other files
                        are not devices
      --prometheus=FILE also write the fleet's state as Prometheus metrics to FILE,
                        for node_exporter's textfile collector
      --check           print a monitoring plugin's status line with performance
                        data before the table, for Nagios, Icinga and Naemon
  -h, --help            show this help and exit
  -V, --version         show the version and exit

DURATION is a whole number with a unit: 90s, 15m, 2h, 7d.
It only reads the log directories. Exit status, as for monitoring plugins: 0 every
device is fresh and every value in range, 1 some device is stale or a value is
in its warning range or no number where a range is set, 2 a value is in its
critical range, every device is stale or there is none, 3 a log directory or
the device list cannot be read, the command line is wrong, or the table, the
page, the metrics or this help cannot be written.
)";

enum : int {
  staleOption = 256,
  sinceOption,
  htmlOption,
  devicesOption,
  prometheusOption,
  checkOption
};

// Whether --check, or an abbreviation getopt_long takes for it, is among the options, wherever
// it stands: before or after a mistake.
bool asksForCheck(int argc, char *argv[]) {
  const std::string_view check = "--check";
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") {
      return false;
    }
    if (argument.size() >= 3 && check.substr(0, argument.size()) == argument) {
      return true;
    }
  }
  return false;
}

} // namespace

FleetCommandLine readFleetCommandLine(int argc, char *argv[]) {
  const std::vector<option> longOptions{
      {"log-dir", required_argument, nullptr, 'd'},
      {"stale", required_argument, nullptr, staleOption},
      {"since", required_argument, nullptr, sinceOption},
      {"html", required_argument, nullptr, htmlOption},
      {"devices", required_argument, nullptr, devicesOption},
      {"prometheus", required_argument, nullptr, prometheusOption},
      {"check", no_argument, nullptr, checkOption}};
  FleetCommandLine commandLine;
  FleetOptions &options = commandLine.options;
  // A usage error is UNKNOWN to monitoring systems: 2 would say that every device is stale.
  // Help or version that cannot be written is UNKNOWN too, as any output that fails.
  // With --check anywhere on the line, a monitoring engine runs it: it reads the mistake
  // from standard output, as the status line, since it shows nothing else.
  const Program program{"report-collector-fleet",
                        usage,
                        static_cast<int>(FleetStatus::unknown),
                        static_cast<int>(FleetStatus::unknown),
                        0,
                        [&](const std::string &problem) {
                          if (asksForCheck(argc, argv)) {
                            (void)writeAll(STDOUT_FILENO, pluginUnknown(problem));
                          }
                        }};
  // The options that name a file or a directory: where each goes, and what a usage error
  // calls it.
  const std::map<int, std::pair<std::filesystem::path *, const char *>> namedPaths{
      {devicesOption, {&options.devicesFile, "the device list's file name"}},
      {htmlOption, {&options.htmlFile, "the page's file name"}},
      {prometheusOption, {&options.prometheusFile, "the metrics file's name"}}};
  commandLine.exitStatus = readOptions(
      argc, argv, program, ":d:hV", longOptions,
      [&](int option, const std::string &value) -> std::string {
        if (option == checkOption) {
          options.check = true;
          return "";
        }
        if (option == staleOption || option == sinceOption) {
          const auto seconds = parseDuration(value);
          if (!seconds) {
            return "invalid duration '" + value + "': write it like 90s, 15m, 2h or 7d";
          }
          (option == staleOption ? options.stale : options.since) = Duration{*seconds, value};
          return "";
        }
        if (option == 'd') {
          options.logDirs.emplace_back(value);
          return value.empty() ? "the log directory is empty" : "";
        }
        const auto &[target, what] = namedPaths.at(option);
        *target = value;
        return value.empty() ? std::string(what) + " is empty" : "";
      });
  if (options.logDirs.empty()) {
    options.logDirs.emplace_back("log");
  }
  return commandLine;
}
