// Real packets against the kill switch. Inside the sandbox a second network
// namespace ("fwpeer") plays the outside world:
//
//   sandbox namespace                     fwpeer
//   c0 192.0.2.1/24, 2001:db8:1::1  <->  p0 192.0.2.2 (the VPN server),
//                                         192.0.2.3 (any other host),
//                                         2001:db8:1::2
//   t0 198.51.100.1/24 (the tunnel) <->  t1 198.51.100.2
//
// Only addresses of these two namespaces are ever used, and every probe is
// bounded in time.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/command_runner.h"
#include "base/unique_fd.h"
#include "firewall/firewall.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

constexpr int kPassMs = 2000;  // a probe that should pass gets this long
constexpr int kBlockMs = 700;  // a probe that should fail is given up after this

// True when ip:port answers a TCP connection attempt within `timeoutMs`,
// by accepting or by refusing it (nothing listens in fwpeer): either way
// packets went out and came back. False when the attempt is dropped.
bool reaches(const std::string& ip, int port, int timeoutMs) {
  addrinfo hints{}, *ai = nullptr;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  if (::getaddrinfo(ip.c_str(), std::to_string(port).c_str(), &hints, &ai) != 0) return false;
  UniqueFd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  int err = fd && ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
  ::freeaddrinfo(ai);
  if (err == EINPROGRESS) {  // EPERM instead: dropped on its way out
    pollfd p{fd.get(), POLLOUT, 0};
    if (::poll(&p, 1, timeoutMs) != 1) return false;
    socklen_t len = sizeof err;
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
  }
  return err == 0 || err == ECONNREFUSED;
}

// True when the IPv4 address `ip` answers one ICMP echo request within
// `timeoutMs` (a raw socket: the test runs as root in the sandbox).
bool pings(const char* ip, int timeoutMs) {
  static uint16_t sequence = 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (::inet_pton(AF_INET, ip, &to.sin_addr) != 1) return false;
  UniqueFd fd(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP));
  if (!fd) return false;
  unsigned char packet[16] = {ICMP_ECHO};
  const uint16_t id = static_cast<uint16_t>(::getpid()), seq = ++sequence;
  std::memcpy(packet + 4, &id, 2);
  std::memcpy(packet + 6, &seq, 2);
  uint32_t sum = 0;  // the ICMP checksum: one's complement of the 16-bit sum
  for (size_t i = 0; i < sizeof packet; i += 2) sum += static_cast<uint32_t>(packet[i] << 8 | packet[i + 1]);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  packet[2] = static_cast<unsigned char>(~sum >> 8);
  packet[3] = static_cast<unsigned char>(~sum);
  if (::sendto(fd.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) return false;
  for (int waited = 0; waited < timeoutMs; waited += 50) {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    unsigned char buf[1500];
    ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    size_t off = static_cast<size_t>(buf[0] & 0x0f) * 4;  // raw IPv4 sockets keep the IP header
    if (n < static_cast<ssize_t>(off + 8) || buf[off] != ICMP_ECHOREPLY) continue;
    if (std::memcmp(buf + off + 4, packet + 4, 4) == 0) return true;
  }
  return false;
}

void expectAllPass(const char* when) {
  for (const char* ip : {"192.0.2.2", "192.0.2.3", "198.51.100.2", "2001:db8:1::2", "::1"}) {
    EXPECT_TRUE(reaches(ip, 8080, kPassMs)) << ip << " " << when;
  }
  for (const char* ip : {"192.0.2.2", "192.0.2.3", "198.51.100.2"}) EXPECT_TRUE(pings(ip, kPassMs)) << ip << " " << when;
}

TEST_F(DaemonTest, OnlyTheServerAndTheTunnelPassWhileOn) {
  CommandResult r = runCommand(
      "set -e\n"
      "ip netns add fwpeer\n"
      "ip link add c0 type veth peer name p0 && ip link add t0 type veth peer name t1\n"
      "ip link set p0 netns fwpeer && ip link set t1 netns fwpeer\n"
      "ip addr add 192.0.2.1/24 dev c0 && ip -6 addr add 2001:db8:1::1/64 dev c0 nodad && ip link set c0 up\n"
      "ip addr add 198.51.100.1/24 dev t0 && ip link set t0 up\n"
      "ip netns exec fwpeer sh -e -c 'ip link set lo up; "
      "ip addr add 192.0.2.2/24 dev p0; ip addr add 192.0.2.3/24 dev p0; "
      "ip -6 addr add 2001:db8:1::2/64 dev p0 nodad; ip link set p0 up; "
      "ip addr add 198.51.100.2/24 dev t1; ip link set t1 up'\n");
  ASSERT_TRUE(r.ok()) << r.output;
  FireWall fw("/tmp/fwleak", realCommandRunner());
  // Neighbour discovery and ARP first, while everything is open.
  expectAllPass("before the kill switch");

  // IPv4 alone, no tunnel interface named, DNS allowed.
  ASSERT_TRUE(fw.firewallOn("192.0.2.2", true, false, false, false));
  fw.waitIdle();
  EXPECT_TRUE(reaches("192.0.2.2", 8080, kPassMs));
  EXPECT_TRUE(reaches("192.0.2.3", 53, kPassMs)) << "DNS passes to any host";
  EXPECT_FALSE(reaches("192.0.2.3", 8080, kBlockMs));
  EXPECT_TRUE(pings("192.0.2.2", kPassMs));
  EXPECT_FALSE(pings("192.0.2.3", kBlockMs));
  EXPECT_FALSE(reaches("198.51.100.2", 8080, kBlockMs)) << "no tunnel interface was named";
  EXPECT_TRUE(reaches("2001:db8:1::2", 8080, kPassMs)) << "the kill switch covers IPv4 only";
  ASSERT_TRUE(fw.firewallOff());
  fw.waitIdle();
  expectAllPass("after the first round");

  // The tunnel and the IPv6 block; DNS allowed again (its rules went with the
  // last switch-off), then blocked.
  ASSERT_TRUE(fw.setInterfaceToSkip("t0"));
  ASSERT_TRUE(fw.firewallOn("192.0.2.2", true, true, false, false));
  fw.waitIdle();
  EXPECT_TRUE(reaches("192.0.2.2", 8080, kPassMs));
  EXPECT_TRUE(reaches("198.51.100.2", 8080, kPassMs)) << "the tunnel interface stays open";
  EXPECT_TRUE(pings("198.51.100.2", kPassMs));
  EXPECT_FALSE(pings("192.0.2.3", kBlockMs));
  EXPECT_TRUE(reaches("192.0.2.3", 53, kPassMs));
  EXPECT_FALSE(reaches("192.0.2.3", 8080, kBlockMs));
  EXPECT_FALSE(reaches("2001:db8:1::2", 8080, kBlockMs));
  EXPECT_FALSE(reaches("::1", 8080, kBlockMs)) << "the IPv6 block covers loopback too";
  ASSERT_TRUE(fw.firewallChange("192.0.2.2", true, true, false, true));
  fw.waitIdle();
  EXPECT_FALSE(reaches("192.0.2.3", 53, kBlockMs)) << "DNS is blocked outside the tunnel";

  ASSERT_TRUE(fw.firewallOff());
  fw.waitIdle();
  expectAllPass("after the kill switch");
}

}  // namespace
