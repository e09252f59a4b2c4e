#include "cli/command_line.hpp"

#include <getopt.h>

#include <iostream>

int usageError(const char *program, const std::string &problem, int status) {
  std::cerr << program << ": " << problem << "\nTry '" << program
            << " --help' for more information." << std::endl;
  return status;
}

int printVersion(const char *program) {
  std::cout << program << " " << COLLECTOR_VERSION << std::endl;
  return 0;
}

std::string getoptProblem(int result, char *const argv[]) {
  // getopt_long has already moved past the argument it could not take.
  const std::string argument = argv[optind - 1];
  if (result == ':') {
    return "option '" + argument + "' requires a value";
  }
  const bool longOption = argument.rfind("--", 0) == 0;
  if (optopt != 0 && longOption) {
    return "option '" + argument.substr(0, argument.find('=')) + "' takes no value";
  }
  if (optopt != 0) {
    return "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
  }
  return "unknown option '" + argument + "'";
}

std::string strayArgument(int argc, char *const argv[]) {
  return optind < argc ? "unexpected argument '" + std::string(argv[optind]) + "'" : "";
}
