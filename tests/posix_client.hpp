#pragma once

// The Arduino Client API on a real POSIX socket, for the board header on the host: connect
// blocks, write sends what it can, read never waits, and connected() stays true while bytes
// are unread or the peer has not closed. Like ESP32's WiFiClient, it learns the close from
// a peek, and keeps the error a reset gave, which the first look takes away.

#include <cstddef>
#include <cstdint>

#include "ReportSender/report_sender.h"

class PosixClient {
public:
  PosixClient() = default;
  PosixClient(const PosixClient &) = delete;
  PosixClient &operator=(const PosixClient &) = delete;
  ~PosixClient() {
    stop();
  }

  int connect(const char *host, std::uint16_t port);
  std::size_t write(const std::uint8_t *bytes, std::size_t size) const;
  int available() const;
  int read() const;
  std::uint8_t connected();
  void stop();

  // How the peer ended the connection, once connected() turned false.
  report_collector::Close closedHow = report_collector::Close::unknown;

private:
  int fd = -1;
};

// This stack can tell: the reset's error, or the end of the stream.
inline report_collector::Close howClosed(PosixClient &client) {
  return client.closedHow;
}
