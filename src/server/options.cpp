#include "server/options.hpp"

#include "cli/command_line.hpp"

#include <string>

namespace {

// getopt_long's value for the options that have no short form.
constexpr int devicesOption = 0x100;
constexpr int proxyFromOption = 0x101;
constexpr int syncOption = 0x102;

constexpr const char *usage = R"(Usage: report-collector [OPTION]...
Collects one-line CSV reports from devices over TCP and appends each record, stamped with
the local time, to DIR/<device identifier without colons>.csv.

  -p, --port=PORT      listen on TCP port PORT (default 999)
  -l, --listen=ADDRESS listen on ADDRESS only, IPv4 or IPv6 (default: every IPv4
                       interface); :: is every interface, for IPv6 and IPv4 at once
  -d, --log-dir=DIR    keep the device files in DIR (default: log, below the working
                       directory); it is created when missing
      --devices=FILE   store records only for the devices listed in FILE, refusing
                       every other identifier; see report-collector-devices(5)
      --proxy-from=ADDRESS[/PREFIX]
                       take connections from ADDRESS, IPv4 or IPv6, or from any
                       address within PREFIX bits of it, as a proxy's: each must
                       begin with a PROXY protocol header, version 1 or 2, naming
                       the board; may be given more than once
      --sync           give a device its receipt only once its records are on
                       stable storage, which a power cut does not lose
  -h, --help           show this help and exit
  -V, --version        show the version and exit

SIGINT and SIGTERM stop it once the reports in hand are stored; so does SIGHUP, unless
--devices is given, when it reads FILE again. Exit status: 0 after such a stop, 1 when the
listener, the log directory or the device list fails, 2 on a usage error.
)";

} // namespace

CommandLine readCommandLine(int argc, char *argv[]) {
  const std::vector<option> longOptions{{"port", required_argument, nullptr, 'p'},
                                        {"listen", required_argument, nullptr, 'l'},
                                        {"log-dir", required_argument, nullptr, 'd'},
                                        {"devices", required_argument, nullptr, devicesOption},
                                        {"proxy-from", required_argument, nullptr, proxyFromOption},
                                        {"sync", no_argument, nullptr, syncOption}};
  CommandLine commandLine;
  Options &options = commandLine.options;
  commandLine.exitStatus = readOptions(
      argc, argv, {"report-collector", usage, 2}, ":p:l:d:hV", longOptions,
      [&](int option, const std::string &value) -> std::string {
        if (option == 'p') {
          const auto port = wholeNumber(value, 1, 65535);
          options.port = static_cast<std::int32_t>(port.value_or(options.port));
          return port ? "" : "invalid port '" + value + "': a number from 1 to 65535 is needed";
        }
        if (option == 'l') {
          options.listen = value;
          return value.empty() ? "the listen address is empty" : "";
        }
        if (option == proxyFromOption) {
          const auto range = addressRange(value);
          if (range) {
            options.trustedProxies.push_back(*range);
          }
          return range ? ""
                       : "invalid proxy address '" + value +
                             "': an IPv4 or IPv6 address is needed, with /PREFIX optionally "
                             "(0 to 32 bits for IPv4, to 128 for IPv6)";
        }
        if (option == syncOption) {
          options.sync = true;
          return "";
        }
        if (option == devicesOption) {
          options.devices = value;
          return value.empty() ? "the device list's file name is empty" : "";
        }
        options.logDir = value;
        return value.empty() ? "the log directory is empty" : "";
      });
  return commandLine;
}
