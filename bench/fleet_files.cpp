// Makes the fleet view's benchmark: DEVICES device files in DIR, each holding a year of
// one-a-minute history, of which only the last day is written; the older history is a
// sparse hole that ends in a line feed. The same last days also go to WINDOWS_DIR, for `cat`.
// With --long-lines, each of the DEVICES files in DIR holds instead one record of 65,000
// bytes, control bytes after the identifier, as a peer may send.
// With --day, the files in DIR hold the last day alone, with no history before it.
// With --hours, each of the DEVICES files in DIR holds the last HOURS hours of one-a-minute
// records of two fields and nothing before them, as the files of a large fleet hold a few
// hours after they were started afresh; the stamps are made once and shared, so 100,000 files
// take seconds.
// Usage: fleet_files DIR WINDOWS_DIR DEVICES
//        fleet_files --day DIR WINDOWS_DIR DEVICES
//        fleet_files --long-lines DIR DEVICES
//        fleet_files --hours HOURS DIR DEVICES

#include "devicelog/record_format.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

int longLines(const std::string &dir, int devices) {
  std::string control;
  for (char c = 1; c < ' '; ++c) {
    control += c == '\n' ? ' ' : c;
  }
  const std::string stamp = formatTimestamp(std::time(nullptr));
  for (int d = 0; d < devices; ++d) {
    std::string line = stamp + ",D" + std::to_string(d) + ",";
    while (line.size() < 64999) {
      line += control;
    }
    line.resize(64999);
    std::ofstream(dir + "/D" + std::to_string(d) + ".csv", std::ios::binary) << line << '\n';
  }
  return 0;
}

int recentHours(int hours, const std::string &dir, int devices) {
  const long minutes = hours * 60L;
  const std::time_t now = std::time(nullptr);
  std::vector<std::string> stamps;
  for (long minute = minutes - 1; minute >= 0; --minute) {
    stamps.push_back(formatTimestamp(now - 30 - minute * 60) + ",");
  }
  std::string file;
  for (int d = 0; d < devices; ++d) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "24:6F:28:%02X:%02X:%02X", d >> 16 & 255, d >> 8 & 255, d & 255);
    file.clear();
    for (long m = 0; m < minutes; ++m) {
      const long minute = minutes - 1 - m;
      file.append(stamps[static_cast<std::size_t>(m)]).append(mac).append(1, ',');
      file.append(std::to_string(15 + (minute + d) % 10)).append(1, '.');
      file.append(std::to_string(minute % 10)).append(1, ',');
      file.append(std::to_string(40 + (minute + d) % 20)).append(1, '\n');
    }
    const std::string path = dir + "/" + deviceFileName(mac);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, file.data(), file.size()) != static_cast<ssize_t>(file.size()) ||
        ::close(fd) != 0) {
      std::perror(path.c_str());
      return 1;
    }
  }
  return 0;
}

} // namespace

int main(int argc, char *argv[]) {
  if (argc == 4 && std::string(argv[1]) == "--long-lines") {
    return longLines(argv[2], std::atoi(argv[3]));
  }
  if (argc == 5 && std::string(argv[1]) == "--hours") {
    return recentHours(std::atoi(argv[2]), argv[3], std::atoi(argv[4]));
  }
  const bool dayAlone = argc == 5 && std::string(argv[1]) == "--day";
  if (argc != 4 && !dayAlone) {
    std::fprintf(stderr, "usage: fleet_files DIR WINDOWS_DIR DEVICES\n"
                         "       fleet_files --day DIR WINDOWS_DIR DEVICES\n"
                         "       fleet_files --long-lines DIR DEVICES\n"
                         "       fleet_files --hours HOURS DIR DEVICES\n");
    return 2;
  }
  char **const args = argv + (dayAlone ? 1 : 0);
  const std::string dir = args[1], windows = args[2];
  const int devices = std::atoi(args[3]);
  constexpr long minutesPerDay = 24 * 60;
  const long historyBytes = dayAlone ? 0 : 365L * minutesPerDay * 42;
  const std::time_t now = std::time(nullptr);
  for (int d = 0; d < devices; ++d) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "24:6F:28:%02X:%02X:%02X", d >> 16 & 255, d >> 8 & 255, d & 255);
    const std::string name = deviceFileName(mac);
    std::string window = formatTimestamp(now - 86460) + "," + mac + ",19.5,51\n";
    for (long minute = minutesPerDay - 1; minute >= 0; --minute) {
      window += formatTimestamp(now - minute * 60) + "," + mac + "," +
                std::to_string(15 + (minute + d) % 10) + "." + std::to_string(minute % 10) + "," +
                std::to_string(40 + minute % 20) + "\n";
    }
    if (::truncate((dir + "/" + name).c_str(), 0) != 0) {
      std::ofstream(dir + "/" + name);
    }
    if (::truncate((dir + "/" + name).c_str(), historyBytes) != 0) {
      std::perror("truncate");
      return 1;
    }
    std::ofstream(dir + "/" + name, std::ios::app | std::ios::binary)
        << (dayAlone ? window : "\n" + window);
    std::ofstream(windows + "/" + name, std::ios::binary) << window;
  }
  return 0;
}
