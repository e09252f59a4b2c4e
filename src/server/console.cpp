#include "server/console.hpp"

#include <iostream>

namespace console {

void guidance(const std::string &address, std::int32_t port) {
  std::cout << "Please ensure port forwarding from external IP to local IP " << address
            << " is enabled." << std::endl;
  std::cout << "Please ensure your board WiFi and external IP are configured." << std::endl;
  std::cout << "Example: Board(s) configured to report to external IP 111.222.333.444\n"
               "    Local machine IP address is "
            << address
            << ", and for that local IP:\n"
               "    External IP start port: 8080, external IP end port: 277\n"
               "    Local IP start port: 277, local IP end port to land on this server:"
            << port << std::endl;
}

void listening(std::int32_t port) {
  std::cout << "Server listening on 0.0.0.0 local end port " << port << "\n" << std::endl;
}

void connection(const std::string &peerAddress) {
  std::cout << "Connection from: " << peerAddress << '\n';
}

void flush() {
  std::cout << std::flush;
}

void echo(const std::string &pkg) {
  std::cout << pkg << std::endl;
}

void stopped(const char *signalName) {
  std::cout << "Server stopped on " << signalName << std::endl;
}

void exception(const std::string &description) {
  // Standard error is tied to standard output, which is flushed first: on one terminal,
  // the lines stand in the order they were written.
  std::cerr << "Exception: " << description << std::endl;
}

void droppedFragment(std::size_t bytes, const std::string &peerAddress) {
  exception("dropped " + std::to_string(bytes) + " bytes from " + peerAddress +
            " after the last line feed: a line that never fully arrived");
}

} // namespace console
