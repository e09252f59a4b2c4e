#pragma once

#include "server/proxy_header.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The TCP port the collector listens on, on every IPv4 interface, unless told otherwise.
constexpr std::int32_t listenPort = 999;

// What the operator may set on the command line.
struct Options {
  std::int32_t port = listenPort;
  // The address to listen on, IPv4 or IPv6; nothing: every IPv4 interface. "::" is every
  // interface for IPv6 and IPv4 at once.
  std::optional<std::string> listen;
  std::filesystem::path logDir = "log"; // relative paths are below the working directory
  // The device list: only the identifiers on it are stored. Without one, every identifier is.
  std::optional<std::filesystem::path> devices;
  // Proxies: a connection from these addresses begins with a PROXY protocol header that
  // names the board it relays.
  std::vector<AddressRange> trustedProxies;
  // A receipt only once the records are on stable storage (fdatasync), not only written.
  bool sync = false;
};

// The options to serve with, or the exit status when the command line is all there is to
// do: 0 after --help or --version, 2 after a usage error, which is reported on standard
// error.
struct CommandLine {
  Options options;
  std::optional<int> exitStatus;
};

CommandLine readCommandLine(int argc, char *argv[]);
