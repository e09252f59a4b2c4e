#pragma once

#include <chrono>
#include <optional>
#include <string>

// What one run of the sender is told: where the collector listens, how long each try may
// take, how many tries, and the report when it is given on the command line.
struct SendOptions {
  std::string host;
  std::string port = "999";
  std::chrono::seconds timeout{30}; // for each try: connecting, sending and the receipt
  int tries = 1;
  std::optional<std::string> line; // nothing: the report is standard input
};

// The options to send with, or the exit status when the command line is all there is to do:
// 0 after --help or --version, 2 after a usage error, which is reported on standard error.
struct SendCommandLine {
  SendOptions options;
  std::optional<int> exitStatus;
};

SendCommandLine readSendCommandLine(int argc, char *argv[]);

// The report as it goes on the wire: a line given on the command line ends in a line feed.
std::string reportOf(const std::string &line);
