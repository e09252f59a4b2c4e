#include "send/options.hpp"

#include "cli/command_line.hpp"

#include <vector>

namespace {

constexpr const char *usage = R"(Usage: report-collector-send [OPTION]... HOST [LINE]
Sends one report to the report-collector on HOST, LINE or else standard input, and
waits for its receipt: the collector closes the connection in order once the
report is stored, and resets it when it was not.

  -p, --port=PORT        send to TCP port PORT (default 999)
  -t, --timeout=SECONDS  give each try SECONDS to connect and to be answered
                         (default 30)
  -r, --tries=TRIES      try up to TRIES times, waiting a random while that
                         doubles with each failure (default 1)
  -h, --help             show this help and exit
  -V, --version          show the version and exit

HOST is a host name, an IPv4 or an IPv6 address. LINE gets a line feed when it
has none. One line on standard error says what happened. Exit status: 0 stored,
75 not stored (a reset, a refused connection, no answer in time, a host that
cannot be found or reached), 2 on a usage error, 1 when standard input cannot
be read.
)";

} // namespace

SendCommandLine readSendCommandLine(int argc, char *argv[]) {
  const std::vector<option> longOptions{{"port", required_argument, nullptr, 'p'},
                                        {"timeout", required_argument, nullptr, 't'},
                                        {"tries", required_argument, nullptr, 'r'}};
  const Program program{"report-collector-send", usage, 2, 1, 2};
  SendCommandLine commandLine;
  SendOptions &options = commandLine.options;
  commandLine.exitStatus = readOptions(
      argc, argv, program, ":p:t:r:hV", longOptions,
      [&](int option, const std::string &value) -> std::string {
        if (option == 'p') {
          options.port = value;
          return wholeNumber(value, 1, 65535)
                     ? ""
                     : "invalid port '" + value + "': a number from 1 to 65535 is needed";
        }
        if (option == 't') {
          const auto seconds = wholeNumber(value, 1, 3600);
          options.timeout = std::chrono::seconds(seconds.value_or(0));
          return seconds ? ""
                         : "invalid timeout '" + value +
                               "': a number of seconds from 1 to 3600 is needed";
        }
        const auto tries = wholeNumber(value, 1, 100);
        options.tries = static_cast<int>(tries.value_or(0));
        return tries ? "" : "invalid tries '" + value + "': a number from 1 to 100 is needed";
      });
  if (commandLine.exitStatus) {
    return commandLine;
  }
  if (optind == argc || argv[optind][0] == '\0') {
    commandLine.exitStatus = usageError(program, "the collector's HOST is missing");
    return commandLine;
  }
  options.host = argv[optind];
  if (optind + 1 < argc) {
    options.line = argv[optind + 1];
    if (options.line->empty()) {
      commandLine.exitStatus = usageError(program, "the LINE to send is empty");
    }
  }
  return commandLine;
}

std::string reportOf(const std::string &line) {
  return !line.empty() && line.back() == '\n' ? line : line + '\n';
}
