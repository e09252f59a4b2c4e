#include "cli/standard_streams.hpp"
#include "server/guidance.hpp"
#include "server/options.hpp"
#include "server/server.hpp"

#include <csignal>

#include <fcntl.h>

int main(int argc, char *argv[]) {
  const CommandLine commandLine = readCommandLine(argc, argv);
  if (commandLine.exitStatus) {
    return *commandLine.exitStatus;
  }
  // The console's lines to a closed stream vanish, rather than into a socket or device file
  // that took its number.
  claimStandardStreams(O_WRONLY);
  // The console is advice: when its reader goes away (a pipe into `tee` that ended), writes
  // to it fail and storing goes on, instead of the collector dying of SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  // A device file that reaches the file size limit fails that record, instead of the
  // collector dying of SIGXFSZ with the record's peer told in good order.
  std::signal(SIGXFSZ, SIG_IGN);
  showSetupGuidance(commandLine.options.port, commandLine.options.listen);
  return runServer(commandLine.options);
}
