#pragma once

// What the command lines of the collector and the fleet view have in common: GNU-style
// options, help, version, and usage errors worded in one form.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <getopt.h>

struct Program {
  const char *name;
  const char *usage;     // printed by --help
  int usageStatus;       // the exit status of a usage error
  int failureStatus = 1; // the exit status when the help or version cannot be written
  // Also told what a usage error is, for a program that says it elsewhere too.
  std::function<void(const std::string &)> onUsageError{};
};

// Takes the options in `argv` with getopt_long: the program's own `longOptions`, and
// -h/--help and -V/--version, which are answered here. Every other option goes to `take`,
// which says what is wrong with its value, or "" when nothing is. Returns the exit status
// when the command line is all there is to do: 0 after help or version,
// `program.usageStatus` after a usage error, which is reported on standard error with the
// hint to --help, and `program.failureStatus` when the help or the version cannot be
// written (a full disk, a closed standard output), which is also reported.
std::optional<int> readOptions(int argc, char *argv[], const Program &program,
                               const char *shortOptions, std::vector<option> longOptions,
                               const std::function<std::string(int, const std::string &)> &take);
