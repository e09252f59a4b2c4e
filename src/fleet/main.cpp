#include "fleet/fleet.hpp"
#include "fleet/options.hpp"

int main(int argc, char *argv[]) {
  FleetCommandLine commandLine = readFleetCommandLine(argc, argv);
  if (commandLine.exitStatus) {
    return *commandLine.exitStatus;
  }
  return showFleet(commandLine.options);
}
