#include "fleet/options.hpp"

#include "cli/command_line.hpp"

#include <getopt.h>

#include <iostream>

namespace {

constexpr const char *program = "report-collector-fleet";
constexpr int usageStatus = 3; // what monitoring systems read as UNKNOWN

constexpr const char *usage = R"(Usage: report-collector-fleet [OPTION]...
Tells which devices report and which went silent, from the device files that
report-collector writes, and what they measured.

  -d, --log-dir=DIR     read the device files in DIR (default: log)
      --stale=DURATION  a device with no record for this long is stale (default: 1h)
      --since=DURATION  count and draw the records of this window (default: 24h)
      --html=FILE       also write a page with the table and a chart per device
  -h, --help            show this help and exit
  -V, --version         show the version and exit

DURATION is a whole number with a unit: 90s, 15m, 2h, 7d.
It only reads the log directory. Exit status, as for monitoring plugins: 0 every
device is fresh, 1 some are stale, 2 every device is stale or there is none,
3 the log directory cannot be read or the command line is wrong.
)";

enum : int { staleOption = 256, sinceOption, htmlOption };

} // namespace

std::optional<std::int64_t> parseDuration(const std::string &text) {
  if (text.size() < 2 || text.size() > 10 ||
      text.find_first_not_of("0123456789") != text.size() - 1) {
    return std::nullopt;
  }
  const std::int64_t count = std::stoll(text.substr(0, text.size() - 1));
  const auto unit = std::string("smhd").find(text.back());
  const std::int64_t unitSeconds[] = {1, 60, 3600, 86400};
  if (count <= 0 || unit == std::string::npos) {
    return std::nullopt;
  }
  return count * unitSeconds[unit];
}

FleetCommandLine readFleetCommandLine(int argc, char *argv[]) {
  static const option longOptions[] = {{"log-dir", required_argument, nullptr, 'd'},
                                       {"stale", required_argument, nullptr, staleOption},
                                       {"since", required_argument, nullptr, sinceOption},
                                       {"html", required_argument, nullptr, htmlOption},
                                       {"help", no_argument, nullptr, 'h'},
                                       {"version", no_argument, nullptr, 'V'},
                                       {nullptr, 0, nullptr, 0}};
  FleetCommandLine commandLine;
  FleetOptions &options = commandLine.options;
  const auto fail = [&](const std::string &problem) {
    commandLine.exitStatus = usageError(program, problem, usageStatus);
    return commandLine;
  };
  opterr = 0;
  for (int result; (result = getopt_long(argc, argv, ":d:hV", longOptions, nullptr)) != -1;) {
    switch (result) {
    case 'd':
      if (*optarg == '\0') {
        return fail("the log directory is empty");
      }
      options.logDir = optarg;
      break;
    case staleOption:
    case sinceOption: {
      const auto seconds = parseDuration(optarg);
      if (!seconds) {
        return fail("invalid duration '" + std::string(optarg) +
                    "': write it like 90s, 15m, 2h or 7d");
      }
      (result == staleOption ? options.window.stale : options.window.since) = *seconds;
      (result == staleOption ? options.window.staleText : options.window.sinceText) = optarg;
      break;
    }
    case htmlOption:
      if (*optarg == '\0') {
        return fail("the page's file name is empty");
      }
      options.htmlFile = optarg;
      break;
    case 'h':
      std::cout << usage << std::flush;
      commandLine.exitStatus = 0;
      return commandLine;
    case 'V':
      commandLine.exitStatus = printVersion(program);
      return commandLine;
    default:
      return fail(getoptProblem(result, argv));
    }
  }
  if (const auto stray = strayArgument(argc, argv); !stray.empty()) {
    return fail(stray);
  }
  return commandLine;
}
