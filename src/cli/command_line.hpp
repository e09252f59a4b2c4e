#pragma once

// What the command lines of the collector and the fleet view have in common: GNU-style
// options, help, version, and usage errors worded in one form.

#include <cstdint>
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
  int operands = 0;      // how many arguments may follow the options, left at argv[optind]
  // Also told what a usage error is, for a program that says it elsewhere too.
  std::function<void(const std::string &)> onUsageError{};
};

// Takes the options in `argv` with getopt_long: the program's own `longOptions`, and
// -h/--help and -V/--version, which are answered here. Every other option goes to `take`,
// which says what is wrong with its value, or "" when nothing is. Returns the exit status
// when the command line is all there is to do: 0 after help or version,
// `program.usageStatus` after a usage error, which is reported on standard error with the
// hint to --help, and `program.failureStatus` when the help or the version cannot be
// written (a full disk, a closed standard output), which is also reported. More than
// `program.operands` arguments beside the options are a usage error.
std::optional<int> readOptions(int argc, char *argv[], const Program &program,
                               const char *shortOptions, std::vector<option> longOptions,
                               const std::function<std::string(int, const std::string &)> &take);

// Reports `problem` as a usage error of `program`, with the hint to --help, and returns the
// exit status it calls for.
int usageError(const Program &program, const std::string &problem);

// A whole number as an operator writes one, from `lowest` to `highest`: decimal digits only,
// no sign, no spaces; nothing otherwise.
std::optional<std::int64_t> wholeNumber(const std::string &text, std::int64_t lowest,
                                        std::int64_t highest);
