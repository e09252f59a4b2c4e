#pragma once

#include "server/options.hpp"

#include <cstdint>
#include <string>
#include <string_view>

// Tells the operator which local address and `port` the router must forward to.
// Advice only: a failure is reported on standard error and never escapes.
void showSetupGuidance(std::int32_t port);

// Serves devices one at a time until the collector fails or is asked to stop.
// Returns the process exit status: 0 after a requested stop, 1 after a failure.
int runServer(const Options &options);

// Number of bytes after the last line feed of `received`, unless they are only NUL padding:
// the start of a line that never fully arrived.
std::size_t fragmentLength(std::string_view received);

// The report text of `received`: without a trailing fragment, and cut at the first NUL.
std::string reportText(std::string_view received);
