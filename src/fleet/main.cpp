#include "fleet/options.hpp"
#include "fleet/output.hpp"

#include <ctime>

int main(int argc, char *argv[]) {
  occupyClosedStandardDescriptors();
  FleetCommandLine commandLine = readFleetCommandLine(argc, argv);
  if (commandLine.exitStatus) {
    return *commandLine.exitStatus;
  }
  return static_cast<int>(showFleet(commandLine.options, std::time(nullptr)));
}
