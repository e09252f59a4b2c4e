#include "harness.hpp"

#include "devicelog/record_format.hpp"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

void check(bool ok, const std::string &what) {
  if (!ok) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }
}

namespace {

// Runs in the forked child: sets it up and executes the collector. Whatever fails before the
// exec is written to `failures`, which the exec closes, so that the test learns it at once.
[[noreturn]] void becomeCollector(const std::filesystem::path &dir,
                                  const std::function<void()> &inChild,
                                  const std::vector<std::string> &command, int failures) {
  try {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL); // no collector outlives a test that crashed
    const int out = ::open((dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    check(out >= 0 && ::dup2(out, 1) >= 0, "stdout");
    const int err = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    check(err >= 0 && ::dup2(err, 2) >= 0, "stderr");
    ::close(out);
    ::close(err);
    if (inChild) {
      inChild();
    }
    check(::chdir(dir.c_str()) == 0, "chdir " + dir.string());
    std::vector<char *> argv;
    argv.reserve(command.size() + 1);
    for (const auto &arg : command) {
      argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(command[0].c_str(), argv.data());
    check(false, "exec " + command[0]);
  } catch (const std::exception &e) {
    const std::string message = e.what();
    (void)!::write(failures, message.data(), message.size());
  }
  ::_exit(127);
}

} // namespace

void enterPrivateNetwork() {
  check(::unshare(CLONE_NEWNET) == 0, "unshare(CLONE_NEWNET)");
  check(std::system("ip link set lo up") == 0, "ip link set lo up");
}

std::filesystem::path makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "collector-test-XXXXXX").string();
  check(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  return pattern;
}

pid_t startCollector(const std::filesystem::path &dir, const std::function<void()> &inChild,
                     const std::vector<std::string> &args,
                     const std::vector<std::string> &wrapper) {
  std::vector<std::string> command = wrapper;
  command.emplace_back(COLLECTOR_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  // Gone before the fork, so that no one reads an earlier run's output as this one's.
  std::filesystem::remove(dir / "stdout");
  std::filesystem::remove(dir / "stderr");
  int failures[2];
  check(::pipe2(failures, O_CLOEXEC) == 0, "pipe2");
  const pid_t pid = ::fork();
  check(pid >= 0, "fork");
  if (pid == 0) {
    ::close(failures[0]);
    becomeCollector(dir, inChild, command, failures[1]);
  }
  ::close(failures[1]);
  std::string failure;
  char chunk[256];
  for (ssize_t count = 0; (count = ::read(failures[0], chunk, sizeof chunk)) > 0;) {
    failure.append(chunk, static_cast<std::size_t>(count));
  }
  ::close(failures[0]);
  if (!failure.empty()) {
    ::waitpid(pid, nullptr, 0);
    throw std::runtime_error("the collector was not started: " + failure);
  }
  return pid;
}

bool eventually(const std::function<bool()> &condition) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void waitUntilListening(const std::filesystem::path &dir) {
  if (!eventually(
          [&] { return readFile(dir / "stdout").find("Server listening") != std::string::npos; })) {
    throw std::runtime_error("collector did not start listening: " + readFile(dir / "stderr"));
  }
}

std::string readFile(const std::filesystem::path &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

int tryConnect(int port, const char *source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  check(fd >= 0, "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (source != nullptr) {
    check(::inet_pton(AF_INET, source, &address.sin_addr) == 1 &&
              ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0,
          std::string("bind ") + source);
  }
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int connectToCollector(int port, const char *source) {
  const int fd = tryConnect(port, source);
  check(fd >= 0, "connect");
  return fd;
}

bool finishReport(int fd, const std::string &bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const auto count = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) {
      break; // the collector may drop an oversized report before it is all sent
    }
    sent += static_cast<std::size_t>(count);
  }
  // A reset takes its error with it: once send or shutdown has reported it, recv sees only
  // the end of the stream. So every step must have gone well, not just the last.
  const bool sentAll = sent == bytes.size() && ::shutdown(fd, SHUT_WR) == 0;
  return closedInOrder(fd) && sentAll;
}

bool closedInOrder(int fd) {
  char ignored[256];
  ssize_t count = 0;
  while ((count = ::recv(fd, ignored, sizeof ignored, 0)) > 0) {
  }
  ::close(fd);
  return count == 0;
}

bool sendReport(const std::string &bytes, int port) {
  return finishReport(connectToCollector(port), bytes);
}

int exitStatus(pid_t pid) {
  int status = 0;
  if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void killCollector(pid_t pid) {
  if (pid > 0 && ::kill(pid, SIGKILL) == 0) {
    ::waitpid(pid, nullptr, 0);
  }
}

std::string withoutTimestamps(const std::string &text) {
  static const std::regex timestamp("(^|\n)[0-9]{" + std::to_string(timestampLength) + "}" +
                                    fieldSeparator);
  return std::regex_replace(text, timestamp, std::string("$1TS") + fieldSeparator);
}

std::multiset<std::string> storedRecords(const std::filesystem::path &dir) {
  std::multiset<std::string> records;
  for (const auto &entry : std::filesystem::directory_iterator(dir / "log")) {
    std::istringstream lines(withoutTimestamps(readFile(entry.path())));
    for (std::string line; std::getline(lines, line);) {
      const std::string stamp = std::string("TS") + fieldSeparator;
      records.insert(line.rfind(stamp, 0) == 0 ? line.substr(stamp.size()) : line);
    }
  }
  return records;
}

ReportStream::ReportStream(int senders, int reports, std::size_t payload) {
  threads.reserve(senders);
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([this, s, senders, reports, payload] {
      for (int r = s; r < reports; r += senders) {
        const int fd = tryConnect();
        if (fd < 0) {
          return; // the collector has stopped listening
        }
        const std::string record = "dev" + std::to_string(r % 7) + fieldSeparator +
                                   std::to_string(r) + fieldSeparator + std::string(payload, 'v');
        {
          const std::lock_guard<std::mutex> lock(mutex);
          attempted.insert(record);
        }
        if (finishReport(fd, record + "\n")) {
          const std::lock_guard<std::mutex> lock(mutex);
          acknowledged.insert(record);
        }
        ++count;
      }
    });
  }
}

ReportStream::~ReportStream() {
  join();
}

void ReportStream::join() {
  for (auto &thread : threads) {
    if (thread.joinable()) {
      thread.join();
    }
  }
}

void CollectorTest::SetUp() {
  enterPrivateNetwork();
  dir = makeTempDir();
}

void CollectorTest::TearDown() {
  killCollector(pid);
  std::filesystem::remove_all(dir);
}

void CollectorTest::start(const std::vector<std::string> &args) {
  pid = startCollector(dir, {}, args);
  waitUntilListening(dir);
}

std::string CollectorTest::out() const {
  return readFile(dir / "stdout");
}

std::string CollectorTest::err() const {
  return readFile(dir / "stderr");
}

std::string CollectorTest::deviceFile(const std::string &name) const {
  return withoutTimestamps(readFile(dir / "log" / name));
}

std::string onceItIs(const std::function<std::string()> &read, const std::string &expected) {
  std::string text;
  eventually([&] { return (text = read()) == expected; });
  return text;
}

std::string CollectorTest::outOnceItIs(const std::string &expected) const {
  return onceItIs([this] { return withoutTimestamps(out()); }, expected);
}

std::string CollectorTest::errOnceItIs(const std::string &expected) const {
  return onceItIs([this] { return err(); }, expected);
}

bool CollectorTest::stderrHas(const std::string &text) const {
  return eventually([&] { return err().find(text) != std::string::npos; });
}

} // namespace harness
