#include "server/server.hpp"

void showSetupGuidance() {}
