// Makes the fleet view's benchmark: DEVICES device files in DIR, each holding a year of
// one-a-minute history, of which only the last day is written; the older history is a
// sparse hole that ends in a line feed. The same last days also go to WINDOWS_DIR, for `cat`.
// With --long-lines, each of the DEVICES files in DIR holds instead one record of 65,000
// bytes, control bytes after the identifier, as a peer may send.
// With --day, the files in DIR hold the last day alone, with no history before it.
// Usage: fleet_files DIR WINDOWS_DIR DEVICES
//        fleet_files --day DIR WINDOWS_DIR DEVICES
//        fleet_files --long-lines DIR DEVICES

#include "devicelog/record_format.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

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

} // namespace

int main(int argc, char *argv[]) {
  if (argc == 4 && std::string(argv[1]) == "--long-lines") {
    return longLines(argv[2], std::atoi(argv[3]));
  }
  const bool dayAlone = argc == 5 && std::string(argv[1]) == "--day";
  if (argc != 4 && !dayAlone) {
    std::fprintf(stderr, "usage: fleet_files DIR WINDOWS_DIR DEVICES\n"
                         "       fleet_files --day DIR WINDOWS_DIR DEVICES\n"
                         "       fleet_files --long-lines DIR DEVICES\n");
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
