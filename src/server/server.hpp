#pragma once

#include "server/options.hpp"

// Serves devices one at a time until the collector fails or is asked to stop.
// Returns the process exit status: 0 after a requested stop, 1 after a failure.
int runServer(const Options &options);
