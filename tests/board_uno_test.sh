#!/usr/bin/env bash
# The board header compiles for an Arduino Uno with Debian's AVR toolchain, against the
# Arduino core's own headers, for any Client: the size of its code is printed.
# (Debian ships no network library for Arduino, and its arduino-builder stops in the core's
# WString.cpp with gcc-avr 5.4; so avr-g++ is called as the builder would call it.)
set -euo pipefail
sketch=$1
avr=/usr/share/arduino/hardware/arduino/avr
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/uno.cpp" <<'SOURCE'
#include <Arduino.h>
#include <Client.h>

#include "report_sender.h"

report_collector::Result sendFrom(Client &client, const char *host, const char *report) {
  return report_collector::sendReport(client, host, report);
}
SOURCE
avr-g++ -std=gnu++11 -mmcu=atmega328p -DF_CPU=16000000L -DARDUINO=10807 -DARDUINO_AVR_UNO \
  -DARDUINO_ARCH_AVR -Os -Wall -Wextra -Werror -fno-exceptions -fno-threadsafe-statics \
  -ffunction-sections -fdata-sections -I"$avr/cores/arduino" -I"$avr/variants/standard" \
  -I"$sketch" -c "$work/uno.cpp" -o "$work/uno.o"
avr-size "$work/uno.o"
