// An honest board reporting to 127.0.0.1:999 at a steady pace while other peers hold
// connections to the collector, and what the board got through. The board writes its report
// as one of the kinds of board below does, and waits for the collector's end of the stream.
// A report is acknowledged when all of it was sent and the board read the end of the stream
// (recv returned 0, no reset before it) within the board's patience from the connect; it is
// stored when every one of its lines is in log/HONEST.csv once the peers have gone and the
// collector has settled. A report acknowledged and not stored in full is a lie the board
// cannot see: acked_lost counts them.
//
// usage: attack SECONDS BOARD none
//        attack SECONDS BOARD PEER each PER_SECOND SOURCES
//        attack SECONDS BOARD PEER cycle PER_SECOND SOURCES
//        attack SECONDS BOARD PEER held CONNECTIONS SOURCES
//        attack SECONDS BOARD PEER burst CONNECTIONS
//
// BOARD: line (one line in one write), halfclose (the same, then shutdown(SHUT_WR)),
// pieces30 (one line in two writes 30 ms apart), pause60, pause300, pause2000 (two lines
// with that pause between them), slowlink (three 60-byte lines, each its own write with
// TCP_NODELAY). Only halfclose half-closes. See boards[] for each one's interval and patience.
//
// PEER: idle sends nothing; stall sends "x", the start of a line, and nothing more; trickle
// sends "x" every 170 ms and never a line feed; neighbour sends the start of a line, the rest
// with its line feed 0.6 s later, and waits for the close, from the board's own address.
// Sources are 127.0.0.2 onwards (a neighbour's 127.0.0.1 onwards), counting on into
// 127.0.1.x and beyond. each: PER_SECOND connections from each of SOURCES addresses, one
// thread each. cycle: PER_SECOND in all, each from the next of SOURCES addresses in turn.
// held: CONNECTIONS open at once from SOURCES addresses in turn, each replaced as soon as it
// is gone. burst: CONNECTIONS opened within about 0.2 s from 10 sources, after which the
// board reports. Each peer's connection is held for 30 s, until the collector closes it or
// until the board is done.
//
// Prints one line: scheduled sent acknowledged stored acked_lost p50_ms p99_ms recovery_ms
// max_after_ms failed_after interval_ms burst_ms opened established closed_in_order reset
// connect_failed peak_held peak_pending. Latencies are of acknowledged reports, connect to
// the end of the stream; recovery_ms (burst only) is from the burst's end to the first
// acknowledged report, and max_after_ms the longest acknowledged report after it; -1 where
// there is none.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;
using std::chrono::milliseconds;
using std::chrono::seconds;
using namespace std::chrono_literals;

namespace {

constexpr auto holdTime = seconds(30); // how long a peer keeps a socket
constexpr auto burstSpread = milliseconds(200);
constexpr int burstSources = 10;
constexpr auto trickleInterval = milliseconds(170);
constexpr auto neighbourPause = milliseconds(600);
constexpr int boardHost = 1;
constexpr const char *honestFile = "log/HONEST.csv";
// Every line names the board in its first two fields: the first line's device is its first
// field, a further line's its second, and all of them belong in the board's file.
constexpr const char *honestPrefix = "HONEST,HONEST,";

// How a board writes a report. A board reads nothing until it has written all of it, but a
// receipt that comes while it pauses is seen when it comes.
struct BoardBehaviour {
  const char *name;
  int lines;                      // lines in one report
  bool noDelay;                   // TCP_NODELAY, so that each write is a segment of its own
  bool halfClose;                 // shutdown(SHUT_WR) once the report is written
  std::size_t lineBytes;          // each line padded to this, its line feed included; 0: not
  milliseconds pauseBetweenLines; // each line is its own write, this long after the last
  milliseconds pauseInsideLine;   // not zero: each line in two writes, this far apart
  milliseconds interval;          // between the starts of two reports; 0: back to back
  milliseconds patience;          // how long the board waits, from its connect
};

// The intervals leave room for the pauses, so that a board misses no turn when all goes well.
// On the slow link the board reports back to back (interval 0): a lone report every few
// seconds crosses within the link's burst at full speed, and only a link kept busy shows how
// slowly data can flow; a report then takes 0.2 to 1 s.
constexpr BoardBehaviour boards[] = {
    // name lines nodelay halfclose bytes between inside interval patience
    {"line", 1, false, false, 0, 0ms, 0ms, 100ms, 5s},
    {"halfclose", 1, false, true, 0, 0ms, 0ms, 100ms, 5s},
    {"pieces30", 1, false, false, 0, 0ms, 30ms, 250ms, 5s},
    {"pause60", 2, false, false, 0, 60ms, 0ms, 250ms, 5s},
    {"pause300", 2, false, false, 0, 300ms, 0ms, 500ms, 5s},
    {"pause2000", 2, false, false, 0, 2000ms, 0ms, 2500ms, 5s},
    {"slowlink", 3, true, false, 60, 0ms, 0ms, 0ms, 12s},
};

const BoardBehaviour *boardNamed(const std::string &name) {
  for (const BoardBehaviour &board : boards) {
    if (name == board.name) {
      return &board;
    }
  }
  return nullptr;
}

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return Milliseconds(to - from).count();
}

// The loopback address 127.0.0.0 + host, port 999 unless said otherwise. Hosts past 255
// count on into 127.0.1.x, so that thousands of peers can each have an address of their own.
sockaddr_in loopback(long host, int port = 999) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl((127U << 24) | static_cast<uint32_t>(host));
  return address;
}

// A nonblocking socket whose connect from the loopback address of `sourceHost` to the
// collector has begun, or -1. The source port is picked at connect, so that thousands of
// connections from one address only need their four-tuples to differ.
int startConnect(long sourceHost) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return -1;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in source = loopback(sourceHost, 0);
  sockaddr_in collector = loopback(boardHost);
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
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
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

bool sendAll(int fd, const std::string &text, Clock::time_point deadline) {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t count = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
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

// What the board has read of the collector: the end of the stream and when, or a reset.
struct Receipt {
  bool orderly = false;
  bool reset = false;
  Clock::time_point at;

  bool settled() const {
    return orderly || reset;
  }
};

void readReceipt(int fd, Receipt *receipt) {
  char ignored[256];
  const ssize_t count = ::recv(fd, ignored, sizeof ignored, MSG_DONTWAIT);
  if (count == 0) {
    receipt->orderly = true;
    receipt->at = Clock::now();
  } else if (count < 0 && errno != EAGAIN && errno != EINTR) {
    receipt->reset = true; // the collector did not store the report
  }
}

// Reads until the end of the stream or a reset, or until `deadline`.
void awaitReceipt(int fd, Clock::time_point deadline, Receipt *receipt) {
  while (!receipt->settled() && awaitEvents(fd, POLLIN, deadline)) {
    readReceipt(fd, receipt);
  }
}

// A pause of the board's: a receipt that comes meanwhile is timed when it comes, not when
// the board has finished writing.
void pauseWatching(int fd, milliseconds pause, Receipt *receipt) {
  const auto until = Clock::now() + pause;
  awaitReceipt(fd, until, receipt);
  std::this_thread::sleep_until(until);
}

// Line `k` of report `number`: every one can be told apart in the board's file, and a
// line stored cut short does not pass for it.
std::string honestLine(const BoardBehaviour &board, int number, int k) {
  std::string line = honestPrefix + std::to_string(number) + ',' + std::to_string(k) + ',';
  if (board.lineBytes > line.size() + 1) {
    line.append(board.lineBytes - line.size() - 1, 'p');
  }
  return line + '\n';
}

// The writes of one line: the whole line, or two halves when the board pauses inside it.
std::vector<std::string> piecesOf(const BoardBehaviour &board, const std::string &line) {
  if (board.pauseInsideLine.count() == 0) {
    return {line};
  }
  return {line.substr(0, line.size() / 2), line.substr(line.size() / 2)};
}

// Writes the report as the board does; whether every byte went.
bool writeReport(int fd, const BoardBehaviour &board, int number, Clock::time_point deadline,
                 Receipt *receipt) {
  for (int k = 0; k < board.lines; ++k) {
    if (k > 0 && board.pauseBetweenLines.count() > 0) {
      pauseWatching(fd, board.pauseBetweenLines, receipt);
    }
    bool first = true;
    for (const std::string &piece : piecesOf(board, honestLine(board, number, k))) {
      if (!first) {
        pauseWatching(fd, board.pauseInsideLine, receipt);
      }
      first = false;
      if (receipt->reset || !sendAll(fd, piece, deadline)) {
        return false;
      }
    }
  }
  return true;
}

struct HonestReport {
  int number = 0;
  Clock::time_point start;
  double milliseconds = 0; // to the receipt when acknowledged, else to the board giving up
  bool acknowledged = false;
};

// One report as the board makes it.
HonestReport reportOnce(const BoardBehaviour &board, int number) {
  HonestReport report{number, Clock::now()};
  const auto deadline = report.start + board.patience;
  const int fd = startConnect(boardHost);
  if (fd < 0) {
    return report;
  }
  const int on = 1;
  if (board.noDelay) {
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  Receipt receipt;
  const bool sent = awaitEvents(fd, POLLOUT, deadline) && pendingError(fd) == 0 &&
                    writeReport(fd, board, number, deadline, &receipt);
  if (sent && board.halfClose) {
    ::shutdown(fd, SHUT_WR);
  }
  if (sent) {
    awaitReceipt(fd, deadline, &receipt);
  }
  ::close(fd);
  report.acknowledged = sent && receipt.orderly && !receipt.reset;
  report.milliseconds =
      millisecondsBetween(report.start, report.acknowledged ? receipt.at : Clock::now());
  return report;
}

// A board with reports queued: each as soon as the last is done, until `end`; every one of
// them counts as scheduled.
std::vector<HonestReport> runBoardBackToBack(const BoardBehaviour &board, Clock::time_point end,
                                             int *scheduled) {
  std::vector<HonestReport> reports;
  for (int number = 0; Clock::now() < end; ++number) {
    reports.push_back(reportOnce(board, number));
  }
  *scheduled = static_cast<int>(reports.size());
  return reports;
}

// The board: one report at a time on its interval's grid from `start`. A report still
// waiting when its successor's time comes makes the board miss that time, as a busy board
// would.
std::vector<HonestReport> runBoard(const BoardBehaviour &board, Clock::time_point start,
                                   Clock::time_point end, int *scheduled) {
  if (board.interval.count() == 0) {
    return runBoardBackToBack(board, end, scheduled);
  }
  std::vector<HonestReport> reports;
  *scheduled = static_cast<int>((end - start) / board.interval);
  for (int number = 0; number < *scheduled;) {
    std::this_thread::sleep_until(start + number * board.interval);
    reports.push_back(reportOnce(board, number));
    number = std::max(number + 1, static_cast<int>((Clock::now() - start) / board.interval) + 1);
  }
  return reports;
}

// What the peers saw of their connections, added up over their threads.
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

// A number of sockets that all peer threads change, and the most it has been.
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

// Over all peers: connections established and still open, and connects that the
// collector's side has not answered yet.
struct LiveSockets {
  SharedGauge held;
  SharedGauge pending;
};

enum class Peer { idle, stall, trickle, neighbour };

// A connection to open, when and from where.
struct PlannedOpen {
  Clock::time_point time;
  long sourceHost;
};

// What one peer thread opens: connections at planned times, or a number kept open at once
// from a range of sources in turn.
struct AttackPlan {
  std::vector<PlannedOpen> opens;
  long keepOpen = 0;
  long firstHost = 0;
  long sources = 0;
};

// Opens connections as planned, holds each for holdTime or until the collector closes it,
// writes what its kind of peer writes, and counts what happened to them. One thread, one
// epoll.
class Attacker {
public:
  Attacker(Peer peer, AttackPlan plan, LiveSockets &live)
      : peer_(peer), plan_(std::move(plan)), live_(live), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}
  Attacker(const Attacker &) = delete;
  Attacker &operator=(const Attacker &) = delete;
  ~Attacker() {
    ::close(epoll_);
  }

  // Runs until `stop` is set, then closes what it still holds.
  void run(const std::atomic<bool> &stop) {
    while (!stop) {
      openDueConnections();
      if (nextOpen_ == plan_.opens.size() && !allOpened_) {
        lastOpen_ = Clock::now();
        allOpened_ = true;
      }
      handleEvents();
      writeDueFollowUps();
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
  // A socket in the order opened, or a write due on it. The descriptor's number may be
  // reused once it is closed: the serial tells whether it is still this connection's.
  struct Held {
    int fd;
    long serial;
    Clock::time_point time;
  };
  enum class State { pending, established, closed };
  struct Socket {
    State state = State::closed;
    long serial = 0;
  };

  void openDueConnections() {
    const auto now = Clock::now();
    for (; nextOpen_ < plan_.opens.size() && plan_.opens[nextOpen_].time <= now; ++nextOpen_) {
      openOne(plan_.opens[nextOpen_].sourceHost);
    }
    // A connect refused at once is tried again a little later, not in a busy loop.
    while (open_ < plan_.keepOpen && now >= nextRetry_) {
      const long host = plan_.firstHost + nextKeptSource_++ % plan_.sources;
      if (!openOne(host)) {
        nextRetry_ = now + milliseconds(10);
      }
    }
  }

  bool openOne(long sourceHost) {
    const int fd = startConnect(sourceHost);
    if (fd < 0) {
      ++counts_.connectFailed;
      return false;
    }
    ++counts_.opened;
    ++open_;
    epoll_event event{};
    event.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    Socket &socket = socketOf(fd);
    socket = {State::pending, ++lastSerial_};
    held_.push_back({fd, socket.serial, Clock::now()});
    live_.pending.change(+1);
    return true;
  }

  Socket &socketOf(int fd) {
    if (static_cast<std::size_t>(fd) >= sockets_.size()) {
      sockets_.resize(static_cast<std::size_t>(fd) * 2 + 1);
    }
    return sockets_[static_cast<std::size_t>(fd)];
  }

  // Waits for socket events no longer than until the next connection or write is due or
  // the oldest has been held long enough, and at most 100 ms, so that a stop is seen.
  void handleEvents() {
    auto until = Clock::now() + milliseconds(100);
    if (!held_.empty()) {
      until = std::min(until, held_.front().time + holdTime);
    }
    if (nextOpen_ < plan_.opens.size()) {
      until = std::min(until, plan_.opens[nextOpen_].time);
    }
    if (!followUps_.empty()) {
      until = std::min(until, followUps_.front().time);
    }
    if (open_ < plan_.keepOpen) {
      until = std::min(until, nextRetry_);
    }
    const auto wait = std::chrono::ceil<milliseconds>(until - Clock::now());
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

  void becomeEstablished(int fd) {
    Socket &socket = socketOf(fd);
    socket.state = State::established;
    live_.pending.change(-1);
    live_.held.change(+1);
    ++counts_.established;
    writeFirst(fd, socket.serial);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event);
  }

  // An idle peer writes nothing; the others start a line that only a neighbour finishes.
  void writeFirst(int fd, long serial) {
    if (peer_ == Peer::idle) {
      return;
    }
    const std::string start = peer_ == Peer::neighbour ? "NEIGHBOUR,NEIGHBOUR,21" : "x";
    (void)::send(fd, start.data(), start.size(), MSG_NOSIGNAL);
    if (peer_ == Peer::trickle) {
      followUps_.push_back({fd, serial, Clock::now() + trickleInterval});
    } else if (peer_ == Peer::neighbour) {
      followUps_.push_back({fd, serial, Clock::now() + neighbourPause});
    }
  }

  // Every peer of a thread waits as long between its writes, so the queue stays in order.
  void writeDueFollowUps() {
    const auto now = Clock::now();
    while (!followUps_.empty() && followUps_.front().time <= now) {
      const Held due = followUps_.front();
      followUps_.pop_front();
      if (!stillOpen(due)) {
        continue;
      }
      if (peer_ == Peer::neighbour) {
        (void)::send(due.fd, ".5,40\n", 6, MSG_NOSIGNAL);
      } else {
        (void)::send(due.fd, "x", 1, MSG_NOSIGNAL);
        followUps_.push_back({due.fd, due.serial, now + trickleInterval});
      }
    }
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

  // Closes `fd`; its place in held_ and followUps_ is dropped when it reaches the front.
  void closeSocket(int fd) {
    Socket &socket = socketOf(fd);
    (socket.state == State::pending ? live_.pending : live_.held).change(-1);
    socket.state = State::closed;
    --open_;
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
    while (!held_.empty() && (!stillOpen(held_.front()) || now - held_.front().time >= holdTime)) {
      closeHeld(held_.front());
      held_.pop_front();
    }
  }

  Peer peer_;
  AttackPlan plan_;
  LiveSockets &live_;
  std::size_t nextOpen_ = 0;
  long open_ = 0;
  long nextKeptSource_ = 0;
  Clock::time_point nextRetry_;
  int epoll_;
  std::deque<Held> held_;       // in the order opened, so the oldest is released first
  std::deque<Held> followUps_;  // writes due, in the order of their times
  std::vector<Socket> sockets_; // by descriptor
  long lastSerial_ = 0;
  AttackCounts counts_;
  std::atomic<bool> allOpened_{false};
  Clock::time_point lastOpen_; // written before allOpened_ is set
};

// `count` opens evenly spread from `start` over `span`, from `firstHost` and the `sources`
// hosts after it in turn.
std::vector<PlannedOpen> evenOpens(Clock::time_point start, Clock::duration span, long count,
                                   long firstHost, long sources) {
  std::vector<PlannedOpen> opens;
  for (long i = 0; i < count; ++i) {
    opens.push_back({start + span * i / std::max(1L, count), firstHost + i % sources});
  }
  return opens;
}

// The numbers of the honest reports of which every line is in the board's file.
std::set<int> storedReports(const BoardBehaviour &board) {
  std::map<int, std::set<int>> linesOf;
  std::ifstream file(honestFile);
  for (std::string record; std::getline(file, record);) {
    const auto at = record.find(honestPrefix);
    if (at == std::string::npos) {
      continue;
    }
    int number = -1;
    int k = -1;
    if (std::sscanf(record.c_str() + at + std::strlen(honestPrefix), "%d,%d", &number, &k) == 2 &&
        record.substr(at) + '\n' == honestLine(board, number, k)) {
      linesOf[number].insert(k);
    }
  }
  std::set<int> numbers;
  for (const auto &[number, lines] : linesOf) {
    if (static_cast<int>(lines.size()) == board.lines) {
      numbers.insert(number);
    }
  }
  return numbers;
}

// Waits until the board's file has not grown for 2 s (at most 20 s): reports that waited in
// the collector's queue when the board gave up may still be stored once the peers left.
void awaitSettledLog() {
  const auto giveUp = Clock::now() + seconds(20);
  std::uintmax_t lastSize = 0;
  auto lastChange = Clock::now();
  while (Clock::now() < giveUp && Clock::now() - lastChange < seconds(2)) {
    std::error_code error;
    const auto size = std::filesystem::file_size(honestFile, error);
    if (!error && size != lastSize) {
      lastSize = size;
      lastChange = Clock::now();
    }
    std::this_thread::sleep_for(milliseconds(100));
  }
}

enum class Schedule { none, each, cycle, held, burst };

struct Scenario {
  int seconds = 0;
  const BoardBehaviour *board = nullptr;
  Peer peer = Peer::idle;
  Schedule schedule = Schedule::none;
  long count = 0; // per second, or connections
  long sources = 0;
};

long firstHostOf(Peer peer) {
  return peer == Peer::neighbour ? boardHost : boardHost + 1;
}

// For a burst, each of burstSources opens its share within burstSpread.
std::vector<AttackPlan> burstPlans(const Scenario &scenario, Clock::time_point start) {
  std::vector<AttackPlan> plans;
  for (long source = 0; source < burstSources; ++source) {
    const long share =
        scenario.count / burstSources + (source < scenario.count % burstSources ? 1 : 0);
    const long host = firstHostOf(scenario.peer) + source;
    plans.push_back({evenOpens(start, burstSpread, share, host, 1)});
  }
  return plans;
}

// One plan per peer thread.
std::vector<AttackPlan> attackPlans(const Scenario &scenario, Clock::time_point start) {
  const long first = firstHostOf(scenario.peer);
  const Clock::duration span = seconds(scenario.seconds);
  switch (scenario.schedule) {
  case Schedule::none:
    return {};
  case Schedule::burst:
    return burstPlans(scenario, start);
  case Schedule::cycle:
    return {{evenOpens(start, span, scenario.count * scenario.seconds, first, scenario.sources)}};
  case Schedule::held:
    return {{{}, scenario.count, first, scenario.sources}};
  case Schedule::each:
    break;
  }
  std::vector<AttackPlan> plans;
  for (long source = 0; source < scenario.sources; ++source) {
    // Sources start apart, so that their connections do not come in lockstep.
    plans.push_back({evenOpens(start + milliseconds(37 * source), span,
                               scenario.count * scenario.seconds, first + source, 1)});
  }
  return plans;
}

// The time the last peer opened its last connection.
Clock::time_point awaitAllOpened(const std::vector<std::unique_ptr<Attacker>> &attackers) {
  auto last = Clock::time_point::min();
  for (const auto &attacker : attackers) {
    while (!attacker->allOpened()) {
      std::this_thread::sleep_for(milliseconds(1));
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

// What the board saw, against what was stored.
struct BoardFigures {
  long acknowledged = 0;
  long stored = 0;
  long acknowledgedLost = 0;
  std::vector<double> latencies;
  long failedAfter = 0;
  double recovery = -1;
  double maxAfter = -1;
};

BoardFigures boardFigures(const Outcome &outcome, const std::set<int> &stored) {
  BoardFigures figures;
  for (const HonestReport &report : outcome.reports) {
    const bool isStored = stored.count(report.number) > 0;
    figures.stored += isStored ? 1 : 0;
    figures.acknowledgedLost += report.acknowledged && !isStored ? 1 : 0;
    if (figures.recovery >= 0 && !report.acknowledged) {
      ++figures.failedAfter;
    } else if (figures.recovery >= 0) {
      figures.maxAfter = std::max(figures.maxAfter, report.milliseconds);
    }
    if (report.acknowledged) {
      ++figures.acknowledged;
      figures.latencies.push_back(report.milliseconds);
      if (figures.recovery < 0) {
        figures.recovery =
            millisecondsBetween(outcome.boardStart, report.start) + report.milliseconds;
      }
    }
  }
  return figures;
}

void printOutcome(const Scenario &scenario, const Outcome &outcome, const std::set<int> &stored) {
  const BoardFigures f = boardFigures(outcome, stored);
  const AttackCounts &a = outcome.attack;
  std::printf("%d %zu %ld %ld %ld %.1f %.1f %.0f %.0f %ld %lld %.0f %ld %ld %ld %ld %ld %ld %ld\n",
              outcome.scheduled, outcome.reports.size(), f.acknowledged, f.stored,
              f.acknowledgedLost, percentile(f.latencies, 0.50), percentile(f.latencies, 0.99),
              f.recovery, f.maxAfter, f.failedAfter,
              static_cast<long long>(scenario.board->interval.count()), outcome.burstMilliseconds,
              a.opened, a.established, a.closedInOrder, a.reset, a.connectFailed, outcome.peakHeld,
              outcome.peakPending);
}

// The peers run while the board reports, and stop when it is done.
Outcome runScenario(const Scenario &scenario) {
  const bool burst = scenario.schedule == Schedule::burst;
  const auto start = Clock::now();
  LiveSockets live;
  std::vector<std::unique_ptr<Attacker>> attackers;
  for (AttackPlan &plan : attackPlans(scenario, start)) {
    attackers.push_back(std::make_unique<Attacker>(scenario.peer, std::move(plan), live));
  }
  std::vector<std::thread> threads;
  threads.reserve(attackers.size());
  std::atomic<bool> boardDone{false};
  for (auto &attacker : attackers) {
    threads.emplace_back([&attacker, &boardDone] { attacker->run(boardDone); });
  }
  Outcome outcome;
  outcome.boardStart = burst ? awaitAllOpened(attackers) : start;
  if (burst) {
    outcome.burstMilliseconds = millisecondsBetween(start, outcome.boardStart);
  }
  outcome.reports = runBoard(*scenario.board, outcome.boardStart,
                             outcome.boardStart + seconds(scenario.seconds), &outcome.scheduled);
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

// The value that `name` stands for in `table`, if any.
template <typename Value, std::size_t size>
bool lookUp(const std::string &name, const std::pair<const char *, Value> (&table)[size],
            Value *value) {
  const auto *found = std::find_if(std::begin(table), std::end(table),
                                   [&name](const auto &entry) { return name == entry.first; });
  if (found == std::end(table)) {
    return false;
  }
  *value = found->second;
  return true;
}

bool readPeer(const std::string &name, Peer *peer) {
  const std::pair<const char *, Peer> peers[] = {{"idle", Peer::idle},
                                                 {"stall", Peer::stall},
                                                 {"trickle", Peer::trickle},
                                                 {"neighbour", Peer::neighbour}};
  return lookUp(name, peers, peer);
}

bool readSchedule(const std::string &name, Schedule *schedule) {
  const std::pair<const char *, Schedule> schedules[] = {{"each", Schedule::each},
                                                         {"cycle", Schedule::cycle},
                                                         {"held", Schedule::held},
                                                         {"burst", Schedule::burst}};
  return lookUp(name, schedules, schedule);
}

// One thread per source for `each`; the others need no more than their own thread.
bool readScenario(int argc, char **argv, Scenario *scenario) {
  if (argc < 4 || (scenario->board = boardNamed(argv[2])) == nullptr) {
    return false;
  }
  scenario->seconds = std::atoi(argv[1]);
  if (std::string(argv[3]) == "none") {
    return argc == 4;
  }
  if (argc < 6 || !readPeer(argv[3], &scenario->peer) ||
      !readSchedule(argv[4], &scenario->schedule)) {
    return false;
  }
  scenario->count = std::atol(argv[5]);
  if (scenario->schedule == Schedule::burst) {
    return argc == 6 && scenario->count > 0;
  }
  scenario->sources = argc == 7 ? std::atol(argv[6]) : 0;
  const long mostSources = scenario->schedule == Schedule::each ? 250 : 1L << 20;
  return argc == 7 && scenario->count > 0 && scenario->sources > 0 &&
         scenario->sources <= mostSources;
}

} // namespace

int main(int argc, char **argv) {
  Scenario scenario;
  if (!readScenario(argc, argv, &scenario) || scenario.seconds <= 0) {
    std::fprintf(stderr, "usage: attack SECONDS BOARD none\n"
                         "       attack SECONDS BOARD PEER each|cycle|held COUNT SOURCES\n"
                         "       attack SECONDS BOARD PEER burst CONNECTIONS\n"
                         "BOARD: line halfclose pieces30 pause60 pause300 pause2000 slowlink\n"
                         "PEER: idle stall trickle neighbour\n");
    return 2;
  }
  raiseDescriptorLimit();
  const Outcome outcome = runScenario(scenario);
  awaitSettledLog();
  printOutcome(scenario, outcome, storedReports(*scenario.board));
  return 0;
}
