#pragma once

// Runs the real report-collector in a private network namespace and talks to it over
// real sockets on port 999.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace harness {

// Throws, naming `what` and errno's message, unless `ok`.
void check(bool ok, const std::string &what);

// Moves this process into a network namespace of its own with loopback up, so that
// port 999 is free and nothing leaves the machine.
void enterPrivateNetwork();

// A fresh directory below the system's temporary directory.
std::filesystem::path makeTempDir();

// Starts the collector with `dir` as its working directory, standard output in
// dir/"stdout" and standard error in dir/"stderr". `inChild` runs in the child before exec;
// what it throws, and any other failure before the exec, is thrown here.
// `args` follow the program's name. With a `wrapper`, such as strace and its options, the
// wrapper is started with the collector's path and `args` after its own arguments.
pid_t startCollector(const std::filesystem::path &dir, const std::function<void()> &inChild = {},
                     const std::vector<std::string> &args = {},
                     const std::vector<std::string> &wrapper = {});

// Waits until the collector has said it listens.
void waitUntilListening(const std::filesystem::path &dir);

// Polls `condition` for up to 30 seconds.
bool eventually(const std::function<bool()> &condition);

std::string readFile(const std::filesystem::path &path);

// What `read` gives once it gives `expected`, else what it gives after 30 seconds.
std::string onceItIs(const std::function<std::string()> &read, const std::string &expected);

// Connects to 127.0.0.1:`port`, from the loopback address `source` if one is given; returns
// the socket, or -1 when no one listens.
int tryConnect(int port = 999, const char *source = nullptr);

// As tryConnect, but a refused connection is a failure of the test.
int connectToCollector(int port = 999, const char *source = nullptr);

// Waits until the collector closes `fd`, closes it, and says whether the close was orderly,
// which it is only after storing everything sent on it.
bool closedInOrder(int fd);

// Sends `bytes` on `fd`, closes the sending side and waits until the collector closes.
// Says whether the report was delivered: every byte sent and the connection closed in good
// order, which the collector does only after storing. A reset is never a delivery.
bool finishReport(int fd, const std::string &bytes);

// Connects, sends `bytes` and waits until the collector has closed the connection, which
// it does only after the report is stored.
bool sendReport(const std::string &bytes, int port = 999);

// The exit status of `pid`, waiting for up to 30 seconds; -1 if it is still running.
int exitStatus(pid_t pid);

// Ends the collector, if it still runs.
void killCollector(pid_t pid);

// `text` with every fourteen-digit report timestamp replaced by "TS".
std::string withoutTimestamps(const std::string &text);

// Every record stored below `dir`/log, each line without its "TS," prefix; a line that does
// not start with a timestamp is kept whole, so that it shows as torn.
std::multiset<std::string> storedRecords(const std::filesystem::path &dir);

// Senders that stream reports, each on its own connection, to devices dev0 to dev6, until
// `reports` have been sent or the collector stops listening.
class ReportStream {
public:
  ReportStream(int senders, int reports, std::size_t payload);
  ~ReportStream();
  int sent() const {
    return count;
  }
  void join();
  std::set<std::string> attempted;    // every record a sender tried to send
  std::set<std::string> acknowledged; // those whose connection the collector closed in order

private:
  std::mutex mutex;
  std::atomic<int> count{0};
  std::vector<std::thread> threads;
};

// A private network, a fresh working directory, and the collector started on demand.
class CollectorTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  void start(const std::vector<std::string> &args = {});
  std::string out() const;
  std::string err() const;
  // A device file's contents with its timestamps replaced by "TS".
  std::string deviceFile(const std::string &name) const;
  // Waits for `text` to appear on the collector's standard error.
  bool stderrHas(const std::string &text) const;
  // Standard output, timestamps as "TS", or standard error, as onceItIs reads them: the
  // console is written by a thread of its own, a moment after the peer is served.
  std::string outOnceItIs(const std::string &expected) const;
  std::string errOnceItIs(const std::string &expected) const;
  std::filesystem::path dir;
  pid_t pid = -1;
};

} // namespace harness
