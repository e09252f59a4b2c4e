#include "cli/command_line.hpp"
#include "base/write_all.hpp"
#include "cli/standard_streams.hpp"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <unistd.h>

namespace {

// Writes the answer to --help or --version to standard output. Output that went nowhere is
// a failure: a script that reads the version must not take silence for it.
int answer(const Program &program, const std::string &text, const char *what) {
  if (const int error = writeAll(STDOUT_FILENO, text); error != 0) {
    std::cerr << program.name << ": cannot write the " << what << ": " << std::strerror(error)
              << std::endl;
    return program.failureStatus;
  }
  return 0;
}

// The problem that getopt_long just reported by returning '?' or ':', in words.
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

} // namespace

int usageError(const Program &program, const std::string &problem) {
  std::cerr << program.name << ": " << problem << "\nTry '" << program.name
            << " --help' for more information." << std::endl;
  if (program.onUsageError) {
    program.onUsageError(problem);
  }
  return program.usageStatus;
}

std::optional<int> readOptions(int argc, char *argv[], const Program &program,
                               const char *shortOptions, std::vector<option> longOptions,
                               const std::function<std::string(int, const std::string &)> &take) {
  opterr = 0; // its problems are worded here, in one form
  longOptions.push_back({"help", no_argument, nullptr, 'h'});
  longOptions.push_back({"version", no_argument, nullptr, 'V'});
  longOptions.push_back({nullptr, 0, nullptr, 0});
  for (int result;
       (result = getopt_long(argc, argv, shortOptions, longOptions.data(), nullptr)) != -1;) {
    if (result == 'h') {
      return answer(program, program.usage, "help");
    }
    if (result == 'V') {
      return answer(program, std::string(program.name) + " " + COLLECTOR_VERSION + "\n", "version");
    }
    if (result == '?' || result == ':') {
      return usageError(program, getoptProblem(result, argv));
    }
    if (const std::string problem = take(result, optarg ? optarg : ""); !problem.empty()) {
      return usageError(program, problem);
    }
  }
  if (argc - optind > program.operands) {
    return usageError(program,
                      "unexpected argument '" + std::string(argv[optind + program.operands]) + "'");
  }
  return std::nullopt;
}

std::optional<std::int64_t> wholeNumber(const std::string &text, std::int64_t lowest,
                                        std::int64_t highest) {
  // Eighteen digits always fit; longer is out of any range an option has.
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const std::int64_t number = std::stoll(text);
  return number >= lowest && number <= highest ? std::optional<std::int64_t>(number) : std::nullopt;
}
