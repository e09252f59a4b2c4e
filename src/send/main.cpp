#include "cli/standard_streams.hpp"
#include "send/delivery.hpp"
#include "send/options.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <sysexits.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

// All of standard input, or nothing with the error that stopped the reading.
std::optional<std::string> readStandardInput() {
  std::string text;
  char chunk[4096];
  for (;;) {
    const auto count = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (count == 0) {
      return text;
    }
    if (count > 0) {
      text.append(chunk, static_cast<std::size_t>(count));
    } else if (errno != EINTR) {
      return std::nullopt;
    }
  }
}

} // namespace

int main(int argc, char *argv[]) {
  claimStandardStreams(O_WRONLY);
  std::signal(SIGPIPE, SIG_IGN); // a collector that goes away is an answer, not the end
  const SendCommandLine commandLine = readSendCommandLine(argc, argv);
  if (commandLine.exitStatus) {
    return *commandLine.exitStatus;
  }
  const SendOptions &options = commandLine.options;
  std::string report;
  if (options.line) {
    report = reportOf(*options.line);
  } else if (const auto input = readStandardInput()) {
    report = *input;
  } else {
    std::cerr << "report-collector-send: cannot read standard input: " << std::strerror(errno)
              << std::endl;
    return 1;
  }
  if (report.empty()) {
    std::cerr << "report-collector-send: standard input held no report\n"
                 "Try 'report-collector-send --help' for more information."
              << std::endl;
    return 2;
  }
  const Delivery delivery =
      deliver({options.host, options.port}, report, options.timeout, options.tries);
  std::cerr << "report-collector-send: " << describe(delivery) << std::endl;
  return delivery.last.stored ? EX_OK : EX_TEMPFAIL;
}
