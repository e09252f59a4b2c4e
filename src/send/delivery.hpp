#pragma once

// One report to the collector over TCP, and its receipt: the collector closes the connection
// in order only after storing every byte of the report; a reset means that something was not
// stored. Anything short of an orderly close counts as not stored.

#include <chrono>
#include <string>
#include <string_view>

struct Destination {
  std::string host; // a host name, an IPv4 or an IPv6 address
  std::string port; // decimal
};

// How one try, or the last of several, ended: stored or not, and in words.
struct Attempt {
  bool stored = false;
  std::string what; // e.g. "::1 port 999 reset the connection"
};

// Resolves `to`, connects to its addresses in turn, sends `report`, closes the sending side
// and reads until the collector closes, all within `timeout`.
Attempt deliverOnce(const Destination &to, std::string_view report,
                    std::chrono::milliseconds timeout);

// How long to wait after `failedTries` tries failed: exponential back-off with full jitter,
// `fraction` (from 0 to 1, drawn at random) of a ceiling that starts at one second and
// doubles with each failure, up to a minute. The jitter keeps boards that lost the same
// collector at the same moment from coming back all at once.
std::chrono::milliseconds backOff(int failedTries, double fraction);

struct Delivery {
  Attempt last;
  int tries = 0;
};

// Tries up to `tries` times, waiting a back-off between tries, until the report is stored.
Delivery deliver(const Destination &to, std::string_view report, std::chrono::milliseconds timeout,
                 int tries);

// The line the sender writes to standard error: what happened, and after how many tries.
std::string describe(const Delivery &delivery);
