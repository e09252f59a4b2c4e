#pragma once

// The collector's one voice: every progress line goes to standard output and every problem
// to standard error from here, each line flushed as it is written, but for the one noted.

#include <cstddef>
#include <cstdint>
#include <string>

namespace console {

// The operator's guidance: which local `address` and `port` the router must forward to.
void guidance(const std::string &address, std::int32_t port);

void listening(std::int32_t port);

// Who connected. The line goes out with the echo that follows at once, in one write, unless
// `flush` is called first: before a wait, so that the operator sees whom it waits for.
void connection(const std::string &peerAddress);
void flush();

void echo(const std::string &pkg);
void stopped(const char *signalName);

// A problem, as "Exception: " and its `description`.
void exception(const std::string &description);

// The start of a line that never fully arrived, dropped from the report of `peerAddress`.
void droppedFragment(std::size_t bytes, const std::string &peerAddress);

} // namespace console
