// The console's lines, handed to a writer thread through a bounded queue.

#include "server/console.hpp"

#include "base/escaping.hpp"
#include "base/write_all.hpp"
#include "cli/standard_streams.hpp"
#include "devicelog/record_format.hpp"
#include "server/report.hpp"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace console {
namespace {

// What the queue may hold while the console does not read: many echoes of the longest
// report, and little memory.
constexpr std::size_t queueCapacity = std::size_t{1024} * 1024;

struct Text {
  int fd;
  std::string bytes;
};

// Whether a write to `fd` can never wait for a reader: a file, or a device such as
// /dev/null. A pipe, a terminal or the journal's socket can.
bool neverWaits(int fd) {
  constexpr unsigned memoryDevices = 1; // /dev/null, /dev/zero, /dev/full
  struct stat status {};
  return ::fstat(fd, &status) != 0 || S_ISREG(status.st_mode) ||
         (S_ISCHR(status.st_mode) && major(status.st_rdev) == memoryDevices);
}

// Text waits here for the writer thread, in the order it was written. Handing it over never
// waits for the console; text that finds the queue full is dropped and counted. A console
// that can never wait is written at once, without the thread and its wake-ups.
class Writer {
public:
  explicit Writer(int fd) : direct_(neverWaits(fd)) {
    if (!direct_) {
      std::thread([this] { writeForever(); }).detach();
    }
  }

  void submit(int fd, std::string bytes) {
    if (direct_) {
      (void)writeAll(fd, bytes); // the console is advice: storing goes on without it
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (queuedBytes_ + bytes.size() > queueCapacity) {
      droppedLines_ += static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
      return;
    }
    queuedBytes_ += bytes.size();
    queue_.push_back({fd, std::move(bytes)});
    const bool writerWaits = queue_.size() == 1 && !writing_;
    lock.unlock();
    if (writerWaits) {
      work_.notify_one();
    }
  }

  void waitUntilWritten(std::chrono::steady_clock::time_point giveUp) {
    if (direct_) {
      return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    (void)idle_.wait_until(lock, giveUp, [this] { return queue_.empty() && !writing_; });
  }

private:
  // Never returns: the thread is left to end with the process, which may go while the
  // thread is held in a write to a console that does not read.
  [[noreturn]] void writeForever() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [this] { return !queue_.empty(); });
      std::deque<Text> batch;
      batch.swap(queue_);
      queuedBytes_ = 0;
      writing_ = true;
      lock.unlock();
      writeBatch(batch);
      lock.lock();
      writing_ = false;
      if (droppedLines_ > 0) { // the console has taken lines again
        queue_.push_front({STDERR_FILENO, droppedNotice()});
        droppedLines_ = 0;
      } else if (queue_.empty()) {
        idle_.notify_all();
      }
    }
  }

  std::string droppedNotice() const {
    return "Exception: console: dropped " + std::to_string(droppedLines_) +
           " lines it did not take at once\n";
  }

  // One write for text that follows text to the same stream.
  static void writeBatch(std::deque<Text> &batch) {
    while (!batch.empty()) {
      Text text = std::move(batch.front());
      batch.pop_front();
      while (!batch.empty() && batch.front().fd == text.fd) {
        text.bytes += batch.front().bytes;
        batch.pop_front();
      }
      (void)writeAll(text.fd, text.bytes);
    }
  }

  const bool direct_;
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable idle_;
  std::deque<Text> queue_;
  std::size_t queuedBytes_ = 0;
  std::size_t droppedLines_ = 0;
  bool writing_ = false;
};

bool sameFile(int one, int other) {
  struct stat first {};
  struct stat second {};
  return ::fstat(one, &first) == 0 && ::fstat(other, &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether `sequence` is one of the controls U+0080 to U+009F, which some terminals obey as
// they obey ESC and its followers.
bool isC1Control(std::string_view sequence) {
  return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xc2 &&
         static_cast<unsigned char>(sequence[1]) < 0xa0;
}

// Whether `sequence` is one of the Unicode controls that reorder the text around them (the
// embeddings, overrides and isolates U+202A to U+202E and U+2066 to U+2069, the marks U+200E,
// U+200F and U+061C) or break a line where no line feed is (U+2028, U+2029): a peer could
// make an echo read otherwise than it is.
bool reordersOrBreaksText(std::string_view sequence) {
  const auto byte = [&](std::size_t i) {
    return static_cast<unsigned char>(sequence[i]);
  };
  if (sequence.size() == 2) {
    return byte(0) == 0xd8 && byte(1) == 0x9c;
  }
  if (sequence.size() != 3 || byte(0) != 0xe2) {
    return false;
  }
  return (byte(1) == 0x80 &&
          (byte(2) == 0x8e || byte(2) == 0x8f || (byte(2) >= 0xa8 && byte(2) <= 0xa9) ||
           (byte(2) >= 0xaa && byte(2) <= 0xae))) ||
         (byte(1) == 0x81 && byte(2) >= 0xa6 && byte(2) <= 0xa9);
}

// The writer of standard output, or of standard error. The two share one when they go to
// the same place (a terminal, the journal), which keeps their lines in order; otherwise a
// standard output that does not read cannot hold up the problems. Never destroyed: their
// threads may outlive every destructor.
Writer &writer(int fd) {
  static auto *const output = new Writer(STDOUT_FILENO);
  static auto *const errors =
      sameFile(STDOUT_FILENO, STDERR_FILENO) ? output : new Writer(STDERR_FILENO);
  return fd == STDERR_FILENO ? *errors : *output;
}

// Standard output that waits for the next line, so that both go out in one write.
std::string &pendingOutput() {
  static std::string pending;
  return pending;
}

void writeOutput(const std::string &text) {
  pendingOutput() += text;
  writer(STDOUT_FILENO).submit(STDOUT_FILENO, std::move(pendingOutput()));
  pendingOutput().clear();
}

void flush() {
  if (!pendingOutput().empty()) {
    writeOutput("");
  }
}

} // namespace

void guidanceIpv6(const std::string &address, std::int32_t port) {
  writeOutput("Boards that speak IPv6 reach this server at " + address + ", port " +
              std::to_string(port) +
              ", without port forwarding.\n"
              "Please ensure your router's firewall lets TCP port " +
              std::to_string(port) + " through to " + address + ".\n");
}

void guidance(const std::string &address, std::int32_t port) {
  writeOutput("Please ensure port forwarding from external IP to local IP " + address +
              " is enabled.\n"
              "Please ensure your board WiFi and external IP are configured.\n"
              "Example: Board(s) configured to report to external IP 111.222.333.444\n"
              "    Local machine IP address is " +
              address +
              ", and for that local IP:\n"
              "    External IP start port: 8080, external IP end port: 277\n"
              "    Local IP start port: 277, local IP end port to land on this server:" +
              std::to_string(port) + "\n");
}

void listening(const std::string &address, std::int32_t port) {
  writeOutput("Server listening on " + address + " local end port " + std::to_string(port) +
              "\n\n");
}

void connection(const std::string &peerAddress) {
  pendingOutput() += "Connection from: " + peerAddress + '\n';
}

void echo(const std::string &pkg) {
  writeOutput(withoutControlBytes(pkg) + '\n');
}

void stopped(const char *signalName) {
  writeOutput(std::string("Server stopped on ") + signalName + '\n');
}

void devicesReloaded(std::size_t count) {
  writeOutput("Device list reloaded: " + std::to_string(count) +
              (count == 1 ? " device\n" : " devices\n"));
}

void exception(const std::string &description) {
  flush(); // on one terminal, the lines stand in the order they were written
  writer(STDERR_FILENO)
      .submit(STDERR_FILENO, "Exception: " + withoutControlBytes(description) + '\n');
}

void droppedFragment(std::size_t bytes, const std::string &peerAddress) {
  exception("dropped " + std::to_string(bytes) + " bytes from " + peerAddress +
            " after the last line feed: a line that never fully arrived");
}

void droppedBeyondCap(std::size_t bytes, const std::string &peerAddress) {
  exception("dropped " + std::to_string(bytes) + " bytes from " + peerAddress + " beyond the " +
            std::to_string(maxReportBytes) + " bytes a report may hold: Message too long");
}

void linesWithoutDevice(std::size_t lines, const std::string &peerAddress) {
  exception("dropped " + std::to_string(lines) + (lines == 1 ? " line" : " lines") + " from " +
            peerAddress + " that name no device: a line needs a comma after its first field");
}

void bytesAfterNul(std::size_t bytes, const std::string &peerAddress) {
  exception("dropped " + std::to_string(bytes) + " bytes from " + peerAddress +
            " after a NUL byte, which ends a report");
}

void laterLines(const std::string &peerAddress, const std::string &lines) {
  pendingOutput() += "More lines from: " + peerAddress + '\n';
  echo(lines);
}

void placesGivenUp(std::size_t places, std::size_t inOrder, std::size_t reset) {
  exception("all " + std::to_string(places) + " places for connections were taken: closed " +
            std::to_string(inOrder) + " whose lines were stored, reset " + std::to_string(reset) +
            " that had waited longest for a whole line");
}

void proxyHeaderRefused(const std::string &peerAddress, const std::string &problem) {
  exception("reset the connection of " + peerAddress + " (--proxy-from): " + problem);
}

void peerReset(const std::string &peerAddress) {
  exception("reset the connection of " + peerAddress + ": its report was not stored in full");
}

void finish(std::chrono::milliseconds timeLimit) {
  flush();
  const auto giveUp = std::chrono::steady_clock::now() + timeLimit;
  writer(STDOUT_FILENO).waitUntilWritten(giveUp);
  writer(STDERR_FILENO).waitUntilWritten(giveUp);
}

std::string withoutControlBytes(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const bool lineEnd = byte == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
    const std::size_t length = byte < 0x80 ? 1 : utf8SequenceLength(text.substr(i));
    const std::string_view sequence = text.substr(i, length);
    if (length == 0 || isC1Control(sequence) || reordersOrBreaksText(sequence) ||
        (byte < 0x20 && byte != '\t' && byte != '\n' && !lineEnd) || byte == 0x7f) {
      const std::size_t escaped = std::max<std::size_t>(length, 1);
      shown += printable(text.substr(i, escaped));
      i += escaped;
    } else {
      shown.append(text, i, length);
      i += length;
    }
  }
  return shown;
}

} // namespace console
