// The start-up guidance of the real report-collector, with a host name, a hosts file and
// interface addresses of the test's own.

#include "harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace harness;

namespace {

std::string guidance(const std::string &address) {
  return "Please ensure port forwarding from external IP to local IP " + address +
         " is enabled.\n"
         "Please ensure your board WiFi and external IP are configured.\n"
         "Example: Board(s) configured to report to external IP 111.222.333.444\n"
         "    Local machine IP address is " +
         address +
         ", and for that local IP:\n"
         "    External IP start port: 8080, external IP end port: 277\n"
         "    Local IP start port: 277, local IP end port to land on this server:999\n";
}

const std::string listening = "Server listening on 0.0.0.0 local end port 999\n\n";

// Runs in the collector's process before exec: its own host name and hosts file.
void becomeBoardHost(const fs::path &hostsFile, const fs::path &nsswitchFile) {
  check(::unshare(CLONE_NEWUTS | CLONE_NEWNS) == 0, "unshare(CLONE_NEWUTS | CLONE_NEWNS)");
  check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
        "mount --make-rprivate /");
  check(::sethostname("boardhost", 9) == 0, "sethostname");
  check(::mount(hostsFile.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) == 0,
        "bind mount on /etc/hosts");
  check(::mount(nsswitchFile.c_str(), "/etc/nsswitch.conf", nullptr, MS_BIND, nullptr) == 0,
        "bind mount on /etc/nsswitch.conf");
}

TEST(Guidance, NamesTheFirstReachableIPv4Address) {
  struct Case {
    const char *what;
    std::string hosts, out, err;
    std::vector<std::string> args{};
  };
  const std::string ipv6 =
      "Boards that speak IPv6 reach this server at 2001:db8::1, port 999, without port "
      "forwarding.\nPlease ensure your router's firewall lets TCP port 999 through to "
      "2001:db8::1.\n";
  const Case cases[] = {
      {"IPv6 listed first", "2001:db8::1 boardhost\n192.0.2.1 boardhost\n",
       guidance("192.0.2.1") + listening, ""},
      {"several IPv4 addresses", "192.0.2.1 boardhost\n198.51.100.7 boardhost\n",
       guidance("192.0.2.1") + listening, ""},
      {"no IPv4 address", "2001:db8::1 boardhost\n", listening, ""},
      {"only loopback: the interface's address instead", "127.0.1.1 boardhost\n",
       guidance("192.0.2.1") + listening, ""},
      {"loopback before a reachable address", "127.0.1.1 boardhost\n198.51.100.7 boardhost\n",
       guidance("198.51.100.7") + listening, ""},
      {"IPv6 and IPv4 at once: the global IPv6 address too, not the link-local one",
       "192.0.2.1 boardhost\n",
       guidance("192.0.2.1") + ipv6 + "Server listening on :: local end port 999\n\n",
       "",
       {"--listen=::"}},
      {"IPv6 only: that address alone",
       "192.0.2.1 boardhost\n",
       ipv6 + "Server listening on 2001:db8::1 local end port 999\n\n",
       "",
       {"--listen=2001:db8::1"}},
  };
  enterPrivateNetwork();
  // Both address families configured, so that the resolver returns both; nothing is sent.
  ASSERT_EQ(std::system("ip link add v0 type veth peer name v1 && "
                        "ip addr add 192.0.2.1/24 dev v0 && "
                        "ip -6 addr add 2001:db8::1/64 dev v0 nodad && "
                        "ip link set v0 up && ip link set v1 up"),
            0);
  const fs::path dir = makeTempDir();
  std::ofstream(dir / "nsswitch.conf") << "hosts: files\n";
  for (const auto &c : cases) {
    std::ofstream(dir / "hosts") << c.hosts;
    const pid_t pid = startCollector(
        dir, [&] { becomeBoardHost(dir / "hosts", dir / "nsswitch.conf"); }, c.args);
    waitUntilListening(dir);
    EXPECT_EQ(readFile(dir / "stdout"), c.out) << c.what;
    EXPECT_EQ(readFile(dir / "stderr"), c.err) << c.what;
    killCollector(pid);
  }
  fs::remove_all(dir);
}

TEST(Guidance, AnUnresolvableHostNameDoesNotStopTheServer) {
  enterPrivateNetwork();
  const fs::path dir = makeTempDir();
  std::ofstream(dir / "hosts") << "127.0.0.1 localhost\n";
  std::ofstream(dir / "nsswitch.conf") << "hosts: files\n";
  const pid_t pid =
      startCollector(dir, [&] { becomeBoardHost(dir / "hosts", dir / "nsswitch.conf"); });
  waitUntilListening(dir);
  sendReport("AA:BB,1\n");
  const std::string err = readFile(dir / "stderr");
  EXPECT_EQ(err.rfind("Exception: resolve: ", 0), 0U) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  EXPECT_EQ(withoutTimestamps(readFile(dir / "stdout")),
            listening + "Connection from: 127.0.0.1\nTS,AA:BB,1\n\n");
  EXPECT_EQ(withoutTimestamps(readFile(dir / "log" / "AABB.csv")), "TS,AA:BB,1\n");
  killCollector(pid);
  fs::remove_all(dir);
}

} // namespace
