// An Arduino Uno with an Ethernet shield that reports its temperature to report-collector
// every ten minutes, and sends again when the collector did not store the report.

#include <Ethernet.h>
#include <SPI.h>

#include "report_sender.h"

namespace {

byte mac[] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}; // the shield's sticker
const char collector[] = "collector.example.org";  // or the router's external address
const unsigned long everyMs = 10UL * 60UL * 1000UL;

EthernetClient client;
report_collector::Settings settings;

// "AA:BB:CC:DD:EE:FF,21.5\n": the board's identifier, then its values.
void formatReport(char *report, size_t size) {
  const int raw = analogRead(A0); // a TMP36 on A0: 10 mV per degree, 500 mV at 0 degrees
  const long tenths = raw * 5000L / 1024L - 500L;
  snprintf(report, size, "%02X:%02X:%02X:%02X:%02X:%02X,%s%ld.%ld\n", mac[0], mac[1], mac[2],
           mac[3], mac[4], mac[5], tenths < 0 ? "-" : "", labs(tenths) / 10, labs(tenths) % 10);
}

} // namespace

void setup() {
  Serial.begin(9600);
  Ethernet.begin(mac);        // DHCP
  randomSeed(analogRead(A1)); // an open pin: each board backs off differently
  settings.tries = 4;
}

void loop() {
  char report[48];
  formatReport(report, sizeof report);
  const report_collector::Result result = sendReport(client, collector, report, settings);
  Serial.print(result.stored() ? F("stored after ") : F("not stored after "));
  Serial.print(result.tries);
  Serial.println(F(" tries"));
  delay(everyMs);
}
