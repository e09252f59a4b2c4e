#include "server/server.hpp"

int main() {
  showSetupGuidance();
  return runServer();
}
