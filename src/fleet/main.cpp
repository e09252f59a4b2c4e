#include "cli/standard_streams.hpp"
#include "fleet/command/options.hpp"
#include "fleet/command/show.hpp"

#include <csignal>
#include <ctime>

#include <fcntl.h>

int main(int argc, char *argv[]) {
  // Read-only: writing the table to a standard output that was closed still fails, as it
  // would have; and no page or file of the view takes its number.
  claimStandardStreams(O_RDONLY);
  // A reader that stops early, as `| grep -q STALE` does, makes the table fail to be written
  // with an error, not end the program before it has written the page and the metrics.
  std::signal(SIGPIPE, SIG_IGN);
  FleetCommandLine commandLine = readFleetCommandLine(argc, argv);
  if (commandLine.exitStatus) {
    return *commandLine.exitStatus;
  }
  return static_cast<int>(showFleet(commandLine.options, std::time(nullptr)));
}
