// An honest board reporting to 127.0.0.1:999 every 100 ms while other loopback addresses
// hold connections to the collector open without sending a report, and what the board got
// through. The board sends one line and waits for the collector's close, as a real board
// does: it does not half-close. A report is acknowledged when all of it was sent and the
// collector closed in order within 5 s of the connect; it is stored when it is in
// log/HONEST.csv once the attackers have gone and the collector has settled.
//
// usage: attack SECONDS none
//        attack SECONDS idle|stall PER_SECOND SOURCES
//        attack SECONDS burst CONNECTIONS
//
// idle: connections that send nothing; stall: connections that send "x", the start of a
// line, and nothing more; PER_SECOND from each of SOURCES addresses, 127.0.0.2 onwards, for
// SECONDS while the board reports. burst: CONNECTIONS idle connections opened within about
// 0.2 s from 10 sources, after which the board reports for SECONDS. Each attacker's
// connection is held for 30 s, until the collector closes it or until the board is done.
//
// Prints one line: scheduled sent acknowledged stored p50_ms p99_ms recovery_ms
// max_after_ms failed_after burst_ms opened established closed_in_order reset
// connect_failed peak_held peak_pending. Latencies are of acknowledged reports, connect to
// close; recovery_ms (burst only) is from the burst's end to the first acknowledged report,
// and max_after_ms the longest acknowledged report after it; -1 where there is none.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

namespace {

constexpr auto reportInterval = std::chrono::milliseconds(100);
constexpr auto boardPatience = std::chrono::seconds(5); // a board's wait, connect included
constexpr auto holdTime = std::chrono::seconds(30);     // how long an attacker keeps a socket
constexpr auto burstSpread = std::chrono::milliseconds(200);
constexpr int burstSources = 10;
constexpr const char *honestFile = "log/HONEST.csv";

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return Milliseconds(to - from).count();
}

// The loopback address 127.0.0.<host>, port 999 unless said otherwise.
sockaddr_in loopback(int host, int port = 999) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl((127U << 24) | static_cast<uint32_t>(host));
  return address;
}

// A nonblocking socket whose connect from 127.0.0.<sourceHost> to the collector has begun,
// or -1. The source port is picked at connect, so that thousands of connections from one
// address only need their four-tuples to differ.
int startConnect(int sourceHost) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in source = loopback(sourceHost, 0);
  sockaddr_in collector = loopback(1);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0 ||
      (::connect(fd, reinterpret_cast<sockaddr *>(&collector), sizeof collector) != 0 &&
       errno != EINPROGRESS)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Waits for `events` on `fd` until `deadline`; whether they came.
bool awaitEvents(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd watched{fd, events, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(left.count()));
    if (ready > 0) {
      return true;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
}

int pendingError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  return error;
}

bool sendAll(int fd, const std::string &line, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t count = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (count > 0) {
      sent += static_cast<std::size_t>(count);
    } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    } else if (!awaitEvents(fd, POLLOUT, deadline)) {
      return false;
    }
  }
  return true;
}

// Whether the collector closed in order (the end of the stream, no reset) before `deadline`.
bool awaitOrderlyClose(int fd, Clock::time_point deadline) {
  char ignored[256];
  for (;;) {
    const ssize_t count = ::recv(fd, ignored, sizeof ignored, 0);
    if (count == 0) {
      return true;
    }
    if (count < 0 && errno != EAGAIN && errno != EINTR) {
      return false; // a reset: the collector did not store the report
    }
    if (count < 0 && !awaitEvents(fd, POLLIN, deadline)) {
      return false;
    }
  }
}

// One report as a board makes it; whether it was acknowledged.
bool reportOnce(int number) {
  const auto deadline = Clock::now() + boardPatience;
  const int fd = startConnect(1);
  if (fd < 0) {
    return false;
  }
  const std::string line = "HONEST," + std::to_string(number) + "\n";
  const bool acknowledged = awaitEvents(fd, POLLOUT, deadline) && pendingError(fd) == 0 &&
                            sendAll(fd, line, deadline) && awaitOrderlyClose(fd, deadline);
  ::close(fd);
  return acknowledged;
}

struct HonestReport {
  int number = 0;
  Clock::time_point start;
  double milliseconds = 0;
  bool acknowledged = false;
};

// The board: one report at a time on a 100 ms grid from `start`. A report still waiting
// when its successor's time comes makes the board miss that time, as a busy board would.
std::vector<HonestReport> runBoard(Clock::time_point start, Clock::time_point end, int *scheduled) {
  std::vector<HonestReport> reports;
  *scheduled = static_cast<int>((end - start) / reportInterval);
  for (int number = 0; number < *scheduled;) {
    std::this_thread::sleep_until(start + number * reportInterval);
    HonestReport report{number, Clock::now()};
    report.acknowledged = reportOnce(number);
    report.milliseconds = millisecondsBetween(report.start, Clock::now());
    reports.push_back(report);
    number = std::max(number + 1, static_cast<int>((Clock::now() - start) / reportInterval) + 1);
  }
  return reports;
}

// What the attackers saw of their connections, added up over their threads.
struct AttackCounts {
  long opened = 0;
  long established = 0;
  long closedInOrder = 0;
  long reset = 0;
  long connectFailed = 0;

  void add(const AttackCounts &other) {
    opened += other.opened;
    established += other.established;
    closedInOrder += other.closedInOrder;
    reset += other.reset;
    connectFailed += other.connectFailed;
  }
};

// A number of sockets that all attacker threads change, and the most it has been.
class SharedGauge {
public:
  void change(long by) {
    const long now = current_.fetch_add(by) + by;
    long peak = peak_.load();
    while (now > peak && !peak_.compare_exchange_weak(peak, now)) {
    }
  }
  long peak() const {
    return peak_.load();
  }

private:
  std::atomic<long> current_{0};
  std::atomic<long> peak_{0};
};

// Over all attackers: connections established and still open, and connects that the
// collector's side has not answered yet.
struct LiveSockets {
  SharedGauge held;
  SharedGauge pending;
};

// Opens connections from one loopback address at the times given, holds each for holdTime
// or until the collector closes it, and counts what happened to them. One thread, one epoll.
class Attacker {
public:
  Attacker(int sourceHost, bool sendsLineStart, std::vector<Clock::time_point> openTimes,
           LiveSockets &live)
      : sourceHost_(sourceHost), sendsLineStart_(sendsLineStart), openTimes_(std::move(openTimes)),
        live_(live), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}
  Attacker(const Attacker &) = delete;
  Attacker &operator=(const Attacker &) = delete;
  ~Attacker() {
    ::close(epoll_);
  }

  // Runs until `stop` is set, then closes what it still holds.
  void run(const std::atomic<bool> &stop) {
    while (!stop) {
      openDueConnections();
      if (nextOpen_ == openTimes_.size() && !allOpened_) {
        lastOpen_ = Clock::now();
        allOpened_ = true;
      }
      handleEvents();
      releaseExpired();
    }
    for (const Held &held : held_) {
      closeHeld(held);
    }
  }

  bool allOpened() const {
    return allOpened_;
  }
  Clock::time_point lastOpen() const {
    return lastOpen_;
  }
  const AttackCounts &counts() const {
    return counts_;
  }

private:
  // A socket in the order opened. The descriptor's number may be reused once it is closed:
  // the serial tells whether it is still this connection's.
  struct Held {
    int fd;
    long serial;
    Clock::time_point opened;
  };
  enum class State { pending, established, closed };
  struct Socket {
    State state = State::closed;
    long serial = 0;
  };

  void openDueConnections() {
    for (const auto now = Clock::now();
         nextOpen_ < openTimes_.size() && openTimes_[nextOpen_] <= now; ++nextOpen_) {
      openOne();
    }
  }

  void openOne() {
    const int fd = startConnect(sourceHost_);
    if (fd < 0) {
      ++counts_.connectFailed;
      return;
    }
    ++counts_.opened;
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    Socket &socket = socketOf(fd);
    socket = {State::pending, ++lastSerial_};
    held_.push_back({fd, socket.serial, Clock::now()});
    live_.pending.change(+1);
  }

  Socket &socketOf(int fd) {
    if (static_cast<std::size_t>(fd) >= sockets_.size()) {
      sockets_.resize(static_cast<std::size_t>(fd) * 2 + 1);
    }
    return sockets_[static_cast<std::size_t>(fd)];
  }

  // Waits for socket events no longer than until the next connection is due or the oldest
  // has been held long enough, and at most 100 ms, so that a stop is seen.
  void handleEvents() {
    auto until = Clock::now() + std::chrono::milliseconds(100);
    if (!held_.empty()) {
      until = std::min(until, held_.front().opened + holdTime);
    }
    if (nextOpen_ < openTimes_.size()) {
      until = std::min(until, openTimes_[nextOpen_]);
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    epoll_event events[256];
    const int count =
        ::epoll_wait(epoll_, events, 256, std::max(0, static_cast<int>(wait.count())));
    for (int i = 0; i < count; ++i) {
      handleEvent(events[i].data.fd, events[i].events);
    }
  }

  void handleEvent(int fd, uint32_t events) {
    if (socketOf(fd).state == State::pending) {
      if (pendingError(fd) != 0) {
        ++counts_.connectFailed;
        closeSocket(fd);
        return;
      }
      if ((events & EPOLLOUT) != 0) {
        becomeEstablished(fd);
      }
    }
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
      noticeCollectorClose(fd);
    }
  }

  // A staller sends the first byte of a line that never ends; an idle one sends nothing.
  void becomeEstablished(int fd) {
    socketOf(fd).state = State::established;
    live_.pending.change(-1);
    live_.held.change(+1);
    ++counts_.established;
    if (sendsLineStart_) {
      (void)::send(fd, "x", 1, MSG_NOSIGNAL);
    }
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
  }

  void noticeCollectorClose(int fd) {
    char ignored[256];
    const ssize_t count = ::recv(fd, ignored, sizeof ignored, MSG_DONTWAIT);
    if (count == 0) {
      ++counts_.closedInOrder;
    } else if (count < 0 && errno != EAGAIN) {
      ++(socketOf(fd).state == State::pending ? counts_.connectFailed : counts_.reset);
    } else {
      return; // the collector sent bytes and kept the connection: hold on
    }
    closeSocket(fd);
  }

  // Closes `fd`; its place in held_ is dropped when it reaches the front.
  void closeSocket(int fd) {
    Socket &socket = socketOf(fd);
    (socket.state == State::pending ? live_.pending : live_.held).change(-1);
    socket.state = State::closed;
    ::close(fd);
  }

  bool stillOpen(const Held &held) {
    const Socket &socket = socketOf(held.fd);
    return socket.state != State::closed && socket.serial == held.serial;
  }

  void closeHeld(const Held &held) {
    if (stillOpen(held)) {
      closeSocket(held.fd);
    }
  }

  void releaseExpired() {
    const auto now = Clock::now();
    while (!held_.empty() &&
           (!stillOpen(held_.front()) || now - held_.front().opened >= holdTime)) {
      closeHeld(held_.front());
      held_.pop_front();
    }
  }

  int sourceHost_;
  bool sendsLineStart_;
  std::vector<Clock::time_point> openTimes_;
  LiveSockets &live_;
  std::size_t nextOpen_ = 0;
  int epoll_;
  std::deque<Held> held_;       // in the order opened, so the oldest is released first
  std::vector<Socket> sockets_; // by descriptor
  long lastSerial_ = 0;
  AttackCounts counts_;
  std::atomic<bool> allOpened_{false};
  Clock::time_point lastOpen_; // written before allOpened_ is set
};

// `count` times evenly spread from `start` over `span`.
std::vector<Clock::time_point> evenTimes(Clock::time_point start, Clock::duration span,
                                         long count) {
  std::vector<Clock::time_point> times;
  for (long i = 0; i < count; ++i) {
    times.push_back(start + span * i / std::max(1L, count));
  }
  return times;
}

// The numbers of the honest reports found in the board's file.
std::set<int> storedNumbers() {
  std::set<int> numbers;
  std::ifstream file(honestFile);
  for (std::string line; std::getline(file, line);) {
    const auto comma = line.rfind(',');
    if (comma != std::string::npos && line.find("HONEST,") != std::string::npos) {
      numbers.insert(std::atoi(line.c_str() + comma + 1));
    }
  }
  return numbers;
}

// Waits until the board's file has not grown for 2 s (at most 20 s): reports that waited in
// the collector's queue when the board gave up may still be stored once the attackers left.
void awaitSettledLog() {
  const auto giveUp = Clock::now() + std::chrono::seconds(20);
  std::uintmax_t lastSize = 0;
  auto lastChange = Clock::now();
  while (Clock::now() < giveUp && Clock::now() - lastChange < std::chrono::seconds(2)) {
    std::error_code error;
    const auto size = std::filesystem::file_size(honestFile, error);
    if (!error && size != lastSize) {
      lastSize = size;
      lastChange = Clock::now();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

struct Scenario {
  int seconds = 0;
  std::string kind; // none, idle, stall or burst
  long perSecond = 0;
  int sources = 0;
  long burstConnections = 0;
};

// One Attacker per source; for a burst, each opens its share within burstSpread.
std::vector<std::unique_ptr<Attacker>> makeAttackers(const Scenario &scenario,
                                                     Clock::time_point start, LiveSockets &live) {
  std::vector<std::unique_ptr<Attacker>> attackers;
  if (scenario.kind == "none") {
    return attackers;
  }
  const bool burst = scenario.kind == "burst";
  const int sources = burst ? burstSources : scenario.sources;
  for (int source = 0; source < sources; ++source) {
    const long share = burst ? scenario.burstConnections / sources +
                                   (source < scenario.burstConnections % sources ? 1 : 0)
                             : scenario.perSecond * scenario.seconds;
    // Sources start apart, so that their connections do not come in lockstep.
    const auto first = burst ? start : start + std::chrono::milliseconds(37 * source);
    const auto span = burst ? Clock::duration(burstSpread)
                            : Clock::duration(std::chrono::seconds(scenario.seconds));
    attackers.push_back(std::make_unique<Attacker>(2 + source, scenario.kind == "stall",
                                                   evenTimes(first, span, share), live));
  }
  return attackers;
}

// The time the last attacker opened its last connection.
Clock::time_point awaitAllOpened(const std::vector<std::unique_ptr<Attacker>> &attackers) {
  auto last = Clock::time_point::min();
  for (const auto &attacker : attackers) {
    while (!attacker->allOpened()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    last = std::max(last, attacker->lastOpen());
  }
  return attackers.empty() ? Clock::now() : last;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) {
    return -1;
  }
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

struct Outcome {
  int scheduled = 0;
  std::vector<HonestReport> reports;
  Clock::time_point boardStart;
  double burstMilliseconds = -1;
  AttackCounts attack;
  long peakHeld = 0;
  long peakPending = 0;
};

void printOutcome(const Outcome &outcome, const std::set<int> &stored) {
  std::vector<double> latencies;
  long acknowledged = 0, failedAfter = 0;
  double recovery = -1, maxAfter = -1;
  for (const HonestReport &report : outcome.reports) {
    if (recovery >= 0 && !report.acknowledged) {
      ++failedAfter;
    } else if (recovery >= 0) {
      maxAfter = std::max(maxAfter, report.milliseconds);
    }
    if (report.acknowledged) {
      ++acknowledged;
      latencies.push_back(report.milliseconds);
      if (recovery < 0) {
        recovery = millisecondsBetween(outcome.boardStart, report.start) + report.milliseconds;
      }
    }
  }
  const AttackCounts &a = outcome.attack;
  std::printf("%d %zu %ld %zu %.1f %.1f %.0f %.0f %ld %.0f %ld %ld %ld %ld %ld %ld %ld\n",
              outcome.scheduled, outcome.reports.size(), acknowledged, stored.size(),
              percentile(latencies, 0.50), percentile(latencies, 0.99), recovery, maxAfter,
              failedAfter, outcome.burstMilliseconds, a.opened, a.established, a.closedInOrder,
              a.reset, a.connectFailed, outcome.peakHeld, outcome.peakPending);
}

// The attackers run while the board reports, and stop when it is done.
Outcome runScenario(const Scenario &scenario) {
  const bool burst = scenario.kind == "burst";
  const auto start = Clock::now();
  LiveSockets live;
  auto attackers = makeAttackers(scenario, start, live);
  std::vector<std::thread> threads;
  std::atomic<bool> boardDone{false};
  for (auto &attacker : attackers) {
    threads.emplace_back([&attacker, &boardDone] { attacker->run(boardDone); });
  }
  Outcome outcome;
  outcome.boardStart = burst ? awaitAllOpened(attackers) : start;
  if (burst) {
    outcome.burstMilliseconds = millisecondsBetween(start, outcome.boardStart);
  }
  outcome.reports =
      runBoard(outcome.boardStart, outcome.boardStart + std::chrono::seconds(scenario.seconds),
               &outcome.scheduled);
  boardDone = true;
  for (auto &thread : threads) {
    thread.join();
  }
  for (const auto &attacker : attackers) {
    outcome.attack.add(attacker->counts());
  }
  outcome.peakHeld = live.held.peak();
  outcome.peakPending = live.pending.peak();
  return outcome;
}

// Thousands of held sockets need more descriptors than a shell gives by default.
void raiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

bool readScenario(int argc, char **argv, Scenario *scenario) {
  if (argc < 3) {
    return false;
  }
  scenario->seconds = std::atoi(argv[1]);
  scenario->kind = argv[2];
  if (scenario->kind == "none") {
    return argc == 3;
  }
  if (scenario->kind == "burst") {
    scenario->burstConnections = argc == 4 ? std::atol(argv[3]) : 0;
    return argc == 4 && scenario->burstConnections > 0;
  }
  if (scenario->kind != "idle" && scenario->kind != "stall") {
    return false;
  }
  scenario->perSecond = argc == 5 ? std::atol(argv[3]) : 0;
  scenario->sources = argc == 5 ? std::atoi(argv[4]) : 0;
  return argc == 5 && scenario->perSecond > 0 && scenario->sources > 0 && scenario->sources < 250;
}

} // namespace

int main(int argc, char **argv) {
  Scenario scenario;
  if (!readScenario(argc, argv, &scenario) || scenario.seconds <= 0) {
    std::fprintf(stderr, "usage: attack SECONDS none\n"
                         "       attack SECONDS idle|stall PER_SECOND SOURCES\n"
                         "       attack SECONDS burst CONNECTIONS\n");
    return 2;
  }
  raiseDescriptorLimit();
  const Outcome outcome = runScenario(scenario);
  awaitSettledLog();
  std::set<int> sent, stored;
  for (const HonestReport &report : outcome.reports) {
    sent.insert(report.number);
  }
  for (int number : storedNumbers()) {
    if (sent.count(number) > 0) {
      stored.insert(number);
    }
  }
  printOutcome(outcome, stored);
  return 0;
}
