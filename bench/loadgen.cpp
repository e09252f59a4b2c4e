// Sends reports to 127.0.0.1:999 from several concurrent senders, one connection per report
// as boards do, spread over 100 devices, each with its own address, 127.0.1.1 onwards. Prints:
// reports per second (until the last report's connection was closed by the server, which it does
// once the record is stored), latency p50 and p99 in microseconds (connect to the server's close),
// and the records it found stored in ./log afterwards.
//
// By default a sender waits for the close right after its line, as a lone board does, which
// leaves the server to decide when the report is over. With --half-close it shuts down its
// sending side after the line, so the server sees the report's end at once. A sender that
// half-closes is the first to close, and keeps the connection's four-tuple in TIME_WAIT: from
// one address, tens of thousands of those make each connect search long for a free port,
// which would measure the kernel rather than the server.
//
// usage: loadgen SENDERS REPORTS [--half-close]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int devices = 100;

// Binds `fd` to the address of device `device`; the port is picked at connect.
bool bindToDevice(int fd, int device) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
  sockaddr_in source{};
  source.sin_family = AF_INET;
  source.sin_addr.s_addr = htonl((127U << 24) + (1U << 8) + 1U + static_cast<unsigned>(device));
  return ::bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) == 0;
}

bool sendOne(int device, const std::string &report, bool halfClose) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(999);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = bindToDevice(fd, device) &&
            ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
            ::send(fd, report.data(), report.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(report.size()) &&
            (!halfClose || ::shutdown(fd, SHUT_WR) == 0);
  char ignored[64];
  ssize_t count = 0;
  while (ok && (count = ::recv(fd, ignored, sizeof ignored, 0)) > 0) {
  }
  ::close(fd);
  return ok && count == 0;
}

std::string report(int sender, int index) {
  char line[96];
  std::snprintf(line, sizeof line, "AA:BB:CC:DD:%02X:%02X,21.5,40.2,1013,%d-%d\n",
                index % devices / 16, index % devices, sender, index);
  return line;
}

long storedRecords() {
  long lines = 0;
  for (const auto &entry : std::filesystem::directory_iterator("log")) {
    std::ifstream file(entry.path(), std::ios::binary);
    lines +=
        std::count(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>(), '\n');
  }
  return lines;
}

} // namespace

int main(int argc, char **argv) {
  const bool halfClose = argc == 4 && std::strcmp(argv[3], "--half-close") == 0;
  if (argc != 3 && !halfClose) {
    std::fprintf(stderr, "usage: loadgen SENDERS REPORTS [--half-close]\n");
    return 2;
  }
  const int senders = std::atoi(argv[1]);
  const int reports = std::atoi(argv[2]);
  std::vector<std::vector<double>> latencies(senders);
  std::vector<int> failures(senders);
  std::vector<std::thread> threads;
  const auto start = Clock::now();
  for (int s = 0; s < senders; ++s) {
    threads.emplace_back([&, s] {
      for (int i = s; i < reports; i += senders) {
        const auto begin = Clock::now();
        failures[s] += sendOne(i % devices, report(s, i), halfClose) ? 0 : 1;
        latencies[s].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
      }
    });
  }
  for (auto &thread : threads) {
    thread.join();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  int failed = 0;
  for (int s = 0; s < senders; ++s) {
    all.insert(all.end(), latencies[s].begin(), latencies[s].end());
    failed += failures[s];
  }
  std::sort(all.begin(), all.end());
  const auto percentile = [&](double p) {
    return all[static_cast<std::size_t>(p * (all.size() - 1))];
  };
  std::printf("%.0f %.0f %.0f %ld %d\n", reports / seconds, percentile(0.50), percentile(0.99),
              storedRecords(), failed);
  return failed == 0 && storedRecords() == reports ? 0 : 1;
}
