#pragma once

// The collector's one voice: every progress line goes to standard output and every problem
// to standard error from here. Lines are handed to a writer of their own, so that a console
// that stops reading (a paused pager, a terminal stopped with Ctrl-S) never holds up
// storing: what it cannot take is dropped, and counted once it takes lines again.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace console {

// The operator's guidance: which local `address` and `port` the router must forward to.
void guidance(const std::string &address, std::int32_t port);
// That boards reach `address` over IPv6 without forwarding, if the firewall lets them.
void guidanceIpv6(const std::string &address, std::int32_t port);

void listening(const std::string &address, std::int32_t port);

// Who connected: written before the first line about its report, with it, in one write.
void connection(const std::string &peerAddress);

// The stamped report, with its control bytes shown as \xNN.
void echo(const std::string &pkg);
void stopped(const char *signalName);

// The device list was read again on SIGHUP and now holds `count` devices.
void devicesReloaded(std::size_t count);

// A problem, as "Exception: " and its `description`.
void exception(const std::string &description);

// The start of a line that never fully arrived, dropped from the report of `peerAddress`.
void droppedFragment(std::size_t bytes, const std::string &peerAddress);

// Bytes that `peerAddress` sent beyond what one report may hold, which were not read.
void droppedBeyondCap(std::size_t bytes, const std::string &peerAddress);

// Lines of `peerAddress` that name no device, or bytes it sent after the NUL that ends a
// report: not stored.
void linesWithoutDevice(std::size_t lines, const std::string &peerAddress);
void bytesAfterNul(std::size_t bytes, const std::string &peerAddress);

// Lines of a report that came after its first ones, while its connection waited to be closed.
void laterLines(const std::string &peerAddress, const std::string &lines);

// Every one of the `places` for connections was taken, and newcomers took the places of
// `inOrder` connections whose lines were all stored, closed in order, and of `reset` that had
// waited longest for a whole line.
void placesGivenUp(std::size_t places, std::size_t inOrder, std::size_t reset);

// The connection of `peerAddress`, a proxy's by --proxy-from, was reset: it did not begin
// with a PROXY header the collector takes, for `problem`.
void proxyHeaderRefused(const std::string &peerAddress, const std::string &problem);

// The connection of `peerAddress` was reset, because not all it sent was stored.
void peerReset(const std::string &peerAddress);

// Waits until every line handed over is written, or until `timeLimit` has passed: a console
// that does not read must not keep the collector from ending.
void finish(std::chrono::milliseconds timeLimit);

// `text` as it may be shown on a terminal: every control byte but tab and line feed, DEL,
// the C1 controls of UTF-8, the Unicode controls that reorder text or break lines and every
// byte that is not part of valid UTF-8, as \xNN, so that a peer cannot move the cursor,
// clear the screen, retitle the window or make a line read otherwise than it is. A carriage return
// just before a line feed stays, as a board's line end.
std::string withoutControlBytes(std::string_view text);

} // namespace console
