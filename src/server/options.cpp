#include "server/options.hpp"

#include "cli/command_line.hpp"

#include <getopt.h>

#include <iostream>
#include <string>

namespace {

constexpr const char *program = "report-collector";
constexpr int usageStatus = 2;

constexpr const char *usage = R"(Usage: report-collector [OPTION]...
Collects one-line CSV reports from devices over TCP and appends each record, stamped with
the local time, to DIR/<device identifier without colons>.csv.

  -p, --port=PORT      listen on TCP port PORT of every IPv4 interface (default 999)
  -d, --log-dir=DIR    keep the device files in DIR (default: log, below the working
                       directory); it is created when missing
  -h, --help           show this help and exit
  -V, --version        show the version and exit

SIGINT and SIGTERM stop it once the reports in hand are stored. Exit status: 0 after
such a stop, 1 when the listener or the log directory fails, 2 on a usage error.
)";

// A port as the operator wrote it: decimal digits only, 1 to 65535.
std::optional<std::int32_t> parsePort(const std::string &text) {
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const int port = std::stoi(text);
  return port >= 1 && port <= 65535 ? std::optional<std::int32_t>(port) : std::nullopt;
}

} // namespace

CommandLine readCommandLine(int argc, char *argv[]) {
  static const option longOptions[] = {{"port", required_argument, nullptr, 'p'},
                                       {"log-dir", required_argument, nullptr, 'd'},
                                       {"help", no_argument, nullptr, 'h'},
                                       {"version", no_argument, nullptr, 'V'},
                                       {nullptr, 0, nullptr, 0}};
  CommandLine commandLine;
  opterr = 0; // its problems are worded here, in one form
  for (int result; (result = getopt_long(argc, argv, ":p:d:hV", longOptions, nullptr)) != -1;) {
    switch (result) {
    case 'p':
      if (const auto port = parsePort(optarg)) {
        commandLine.options.port = *port;
      } else {
        commandLine.exitStatus = usageError(program,
                                            "invalid port '" + std::string(optarg) +
                                                "': a number from 1 to 65535 is needed",
                                            usageStatus);
        return commandLine;
      }
      break;
    case 'd':
      if (*optarg == '\0') {
        commandLine.exitStatus = usageError(program, "the log directory is empty", usageStatus);
        return commandLine;
      }
      commandLine.options.logDir = optarg;
      break;
    case 'h':
      std::cout << usage << std::flush;
      commandLine.exitStatus = 0;
      return commandLine;
    case 'V':
      commandLine.exitStatus = printVersion(program);
      return commandLine;
    default:
      commandLine.exitStatus = usageError(program, getoptProblem(result, argv), usageStatus);
      return commandLine;
    }
  }
  if (const auto stray = strayArgument(argc, argv); !stray.empty()) {
    commandLine.exitStatus = usageError(program, stray, usageStatus);
  }
  return commandLine;
}
