#pragma once

// Runs the real report-collector in a private network namespace and talks to it over
// real sockets on port 999.

#include <filesystem>
#include <functional>
#include <string>

#include <sys/types.h>

namespace harness {

// Moves this process into a network namespace of its own with loopback up, so that
// port 999 is free and nothing leaves the machine.
void enterPrivateNetwork();

// A fresh directory below the system's temporary directory.
std::filesystem::path makeTempDir();

// Starts the collector with `dir` as its working directory, standard output in
// dir/"stdout" and standard error in dir/"stderr". `inChild` runs in the child before exec.
pid_t startCollector(const std::filesystem::path &dir, const std::function<void()> &inChild = {});

// Waits until the collector has said it listens.
void waitUntilListening(const std::filesystem::path &dir);

// Polls `condition` for up to 30 seconds.
bool eventually(const std::function<bool()> &condition);

std::string readFile(const std::filesystem::path &path);

// Connects to 127.0.0.1:999; returns the socket, or -1 when no one listens.
int tryConnect();

// As tryConnect, but a refused connection is a failure of the test.
int connectToCollector();

// Sends `bytes` on `fd`, closes the sending side and waits until the collector closes.
// Says whether the collector closed in good order (it does so only after storing).
bool finishReport(int fd, const std::string &bytes);

// Connects, sends `bytes` and waits until the collector has closed the connection, which
// it does only after the report is stored.
bool sendReport(const std::string &bytes);

// The exit status of `pid`, waiting for up to 30 seconds; -1 if it is still running.
int exitStatus(pid_t pid);

// Ends the collector, if it still runs.
void killCollector(pid_t pid);

// `text` with every fourteen-digit report timestamp replaced by "TS".
std::string withoutTimestamps(const std::string &text);

} // namespace harness
