#pragma once

// What the command lines of the collector and the fleet view have in common: GNU-style
// messages for help, version and usage errors.

#include <string>

// Prints "PROGRAM: PROBLEM" and the hint to --help on standard error; returns `status`.
int usageError(const char *program, const std::string &problem, int status);

// Prints "PROGRAM VERSION" on standard output; returns 0.
int printVersion(const char *program);

// The problem that getopt_long just reported by returning '?' or ':', in words.
std::string getoptProblem(int result, char *const argv[]);

// Says why `argv` holds arguments past `optind` that are not options, or "" when none.
std::string strayArgument(int argc, char *const argv[]);
