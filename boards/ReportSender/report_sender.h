// Sends one report to report-collector from a board on the Arduino Client API (Ethernet,
// WiFi or any other Client), and tells from the way the collector closes whether it was
// stored.
//
// The collector's receipt is how it ends the connection: it closes in order once every byte
// of the report is stored, and resets the connection when something was not stored. The
// Client API has no half-close, so the collector takes the report as complete after a short
// quiet time (at most a second) and then closes. This header sends the report in one write,
// waits a bounded time for that close, and tries again, after a jittered back-off, whenever
// anything short of an orderly close came back: no connection, a short write, no close in
// time, or a reset.
//
// Telling a reset from an orderly close needs the network stack's help; the Client API alone
// sees both as connected() turning false:
//  - Ethernet library (W5100/W5200/W5500): yes, by the socket's state. After the collector's
//    close the socket waits in CLOSE_WAIT; a reset drops it straight to CLOSED. The overload
//    of howClosed below reads EthernetClient::status().
//  - Any other stack (WiFiNINA, ESP8266, ESP32 WiFiClient, ...): no dependable way. ESP32's
//    errno says ECONNRESET after a reset, but is also left over from earlier calls. A close
//    is then taken as stored and counted as Ending::closed, so that a sketch can tell.
// A stack that can tell gets its own overload of howClosed, found by the client's type.

#ifndef REPORT_COLLECTOR_REPORT_SENDER_H
#define REPORT_COLLECTOR_REPORT_SENDER_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(ARDUINO)
#include <Arduino.h>
#endif

namespace report_collector {

// The board's clock, pause and dice: Arduino's own on a board; on a host, the program
// defines them.
namespace platform {
#if defined(ARDUINO)
inline unsigned long now() {
  return millis();
}
inline void pause(unsigned long ms) {
  delay(ms);
}
inline long randomBelow(long bound) {
  return random(bound);
}
#else
unsigned long now();
void pause(unsigned long ms);
long randomBelow(long bound);
#endif
} // namespace platform

// How one try ended.
enum class Ending : uint8_t {
  stored,       // closed in order: every byte is stored
  closed,       // closed, on a stack that cannot tell a close from a reset: taken as stored
  reset,        // the collector reset the connection: something was not stored
  noConnection, // the connection could not be made
  shortWrite,   // not every byte went out
  noReceipt,    // the collector did not close in time
};

// How the network stack says the connection ended.
enum class Close : uint8_t { orderly, reset, unknown };

struct Settings {
  uint16_t port = 999;
  unsigned long receiptMs = 5000; // how long to wait for the collector's close
  uint8_t tries = 5;
  // Before each further try: a random wait up to a ceiling that starts here and doubles
  // with each failure, up to maxBackOffMs. Boards that lost the collector together (a
  // power cut, a restart) then do not all come back in the same second.
  unsigned long firstBackOffMs = 1000;
  unsigned long maxBackOffMs = 60000;
};

struct Result {
  Ending ending;
  uint8_t tries;
  bool stored() const {
    return ending == Ending::stored || ending == Ending::closed;
  }
};

// A stack that cannot tell.
template <class AnyClient> Close howClosed(AnyClient &) {
  return Close::unknown;
}

#if defined(ethernet_h_)
// The W5x00's socket states (the Ethernet library's SnSR): CLOSE_WAIT after the peer's
// orderly close; a reset leaves CLOSED.
inline Close howClosed(EthernetClient &client) {
  const uint8_t closeWait = 0x1C;
  return client.status() == closeWait ? Close::orderly : Close::reset;
}
#endif

// One try: connect, send the report in one write, wait for the close.
template <class AnyClient>
Ending sendOnce(AnyClient &client, const char *host, const char *report, const Settings &settings) {
  if (client.connect(host, settings.port) <= 0) {
    client.stop();
    return Ending::noConnection;
  }
  // One write: a report written in pieces could give the collector the quiet time in which
  // it takes the report as complete.
  const size_t length = strlen(report);
  if (client.write(reinterpret_cast<const uint8_t *>(report), length) != length) {
    client.stop();
    return Ending::shortWrite;
  }
  const unsigned long start = platform::now();
  for (;;) {
    while (client.available() > 0) {
      client.read(); // the collector answers with nothing but its close
    }
    if (!client.connected()) {
      break;
    }
    if (platform::now() - start >= settings.receiptMs) {
      client.stop();
      return Ending::noReceipt;
    }
    platform::pause(5);
  }
  const Close close = howClosed(client);
  client.stop();
  if (close == Close::orderly) {
    return Ending::stored;
  }
  return close == Close::reset ? Ending::reset : Ending::closed;
}

// Sends `report` (whole lines, each ending in a line feed) to the collector on `host`, up to
// settings.tries times, until it is stored.
template <class AnyClient>
Result sendReport(AnyClient &client, const char *host, const char *report,
                  const Settings &settings = Settings()) {
  Result result{Ending::noConnection, 0};
  unsigned long ceiling = settings.firstBackOffMs;
  for (;;) {
    result.ending = sendOnce(client, host, report, settings);
    ++result.tries;
    if (result.stored() || result.tries >= settings.tries) {
      return result;
    }
    platform::pause(
        static_cast<unsigned long>(platform::randomBelow(static_cast<long>(ceiling) + 1)));
    ceiling = ceiling >= settings.maxBackOffMs / 2 ? settings.maxBackOffMs : ceiling * 2;
  }
}

} // namespace report_collector

#endif
