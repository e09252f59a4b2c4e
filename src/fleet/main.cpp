#include "fleet/options.hpp"

#include <ctime>

int main(int argc, char *argv[]) {
  FleetCommandLine commandLine = readFleetCommandLine(argc, argv);
  if (commandLine.exitStatus) {
    return *commandLine.exitStatus;
  }
  return static_cast<int>(showFleet(commandLine.options, std::time(nullptr)));
}
