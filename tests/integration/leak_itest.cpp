// Real packets against the kill switch. Inside the sandbox a second network
// namespace ("fwpeer") plays the outside world:
//
//   sandbox namespace                     fwpeer
//   c0 192.0.2.1/24, 2001:db8:1::1  <->  p0 192.0.2.2 (the VPN server),
//                                         192.0.2.3 (any other host),
//                                         2001:db8:1::2
//   t0 198.51.100.1/24 (the tunnel) <->  t1 198.51.100.2
//
// fwpeer listens on TCP ports 8080 and 53 of every address; its kernel
// answers pings. Only addresses of these two namespaces are ever used, and
// every probe is bounded in time.

#include <fcntl.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "daemon/command_runner.h"
#include "daemon/unique_fd.h"
#include "firewall/firewall.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

constexpr int kPassMs = 2000;   // a probe that should pass gets this long
constexpr int kBlockMs = 700;   // a probe that should fail is given up after this

// Fills a sockaddr for an IPv4 or IPv6 literal and `port`.
socklen_t makeAddr(const std::string& ip, int port, sockaddr_storage* ss) {
  std::memset(ss, 0, sizeof *ss);
  if (ip.find(':') != std::string::npos) {
    auto* a = reinterpret_cast<sockaddr_in6*>(ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET6, ip.c_str(), &a->sin6_addr);
    return sizeof *a;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(ss);
  a->sin_family = AF_INET;
  a->sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a->sin_addr);
  return sizeof *a;
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// True when a TCP connection to ip:port is established within `timeoutMs`.
bool tcpConnects(const std::string& ip, int port, int timeoutMs) {
  sockaddr_storage ss;
  socklen_t len = makeAddr(ip, port, &ss);
  UniqueFd fd(::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) == 0) return true;
  if (errno != EINPROGRESS) return false;  // EPERM: dropped on its way out
  pollfd p{fd.get(), POLLOUT, 0};
  if (::poll(&p, 1, timeoutMs) != 1) return false;
  int err = 0;
  socklen_t errLen = sizeof err;
  ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &errLen);
  return err == 0;
}

uint16_t icmpChecksum(const unsigned char* data, size_t len) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < len; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (len & 1) sum += static_cast<uint32_t>(data[len - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return htons(static_cast<uint16_t>(~sum));
}

// True when `ip` answers one ICMP echo request within `timeoutMs` (a raw
// socket: the test runs as root in the sandbox; no ping program needed).
bool pings(const std::string& ip, int timeoutMs) {
  static uint16_t sequence = 0;
  const bool v6 = ip.find(':') != std::string::npos;
  sockaddr_storage ss;
  socklen_t len = makeAddr(ip, 0, &ss);
  UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_RAW | SOCK_CLOEXEC, v6 ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP}));
  if (!fd) return false;
  const uint16_t id = static_cast<uint16_t>(::getpid());
  const uint16_t seq = ++sequence;
  unsigned char packet[16] = {};
  packet[0] = static_cast<unsigned char>(v6 ? int{ICMP6_ECHO_REQUEST} : int{ICMP_ECHO});
  std::memcpy(packet + 4, &id, 2);
  std::memcpy(packet + 6, &seq, 2);
  std::memcpy(packet + 8, "fwleak!!", 8);
  if (!v6) {
    uint16_t sum = icmpChecksum(packet, sizeof packet);
    std::memcpy(packet + 2, &sum, 2);
  }  // the kernel fills in ICMPv6 checksums
  if (::sendto(fd.get(), packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&ss), len) < 0) return false;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, remainingMs(deadline)) != 1) return false;
    unsigned char buf[1500];
    ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
    if (n <= 0) continue;
    // IPv4 raw sockets hand over the IP header; IPv6 ones do not.
    size_t off = v6 ? 0 : static_cast<size_t>(buf[0] & 0x0f) * 4;
    if (static_cast<size_t>(n) < off + 8) continue;
    const unsigned char* icmp = buf + off;
    uint16_t rid, rseq;
    std::memcpy(&rid, icmp + 4, 2);
    std::memcpy(&rseq, icmp + 6, 2);
    if (icmp[0] == (v6 ? int{ICMP6_ECHO_REPLY} : int{ICMP_ECHOREPLY}) && rid == id && rseq == seq) return true;
  }
}

// Listening sockets that live in another network namespace: created by a
// helper thread that joins the namespace (setns changes only the calling
// thread), they keep serving there. The kernel completes handshakes from
// the backlog, so nothing needs to accept.
std::vector<UniqueFd> listenInNamespace(const std::string& nsPath, const std::vector<int>& ports) {
  std::vector<UniqueFd> fds;
  std::thread([&] {
    UniqueFd ns(::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!ns || ::setns(ns.get(), CLONE_NEWNET) != 0) return;
    for (int port : ports) {
      for (int family : {AF_INET, AF_INET6}) {
        UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (family == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_storage ss;
        socklen_t len = makeAddr(family == AF_INET6 ? "::" : "0.0.0.0", port, &ss);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) == 0 && ::listen(fd.get(), 64) == 0) {
          fds.push_back(std::move(fd));
        }
      }
    }
  }).join();
  return fds;
}

class LeakTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (HasFatalFailure()) return;
    CommandResult r = runCommand(
        "set -e\n"
        "ip netns add fwpeer\n"
        "ip link add c0 type veth peer name p0\n"
        "ip link add t0 type veth peer name t1\n"
        "ip link set p0 netns fwpeer\n"
        "ip link set t1 netns fwpeer\n"
        "ip addr add 192.0.2.1/24 dev c0\n"
        "ip -6 addr add 2001:db8:1::1/64 dev c0 nodad\n"
        "ip addr add 198.51.100.1/24 dev t0\n"
        "ip link set c0 up\n"
        "ip link set t0 up\n"
        "ip netns exec fwpeer sh -e -c '"
        "ip link set lo up; "
        "ip addr add 192.0.2.2/24 dev p0; ip addr add 192.0.2.3/24 dev p0; "
        "ip -6 addr add 2001:db8:1::2/64 dev p0 nodad; ip link set p0 up; "
        "ip addr add 198.51.100.2/24 dev t1; ip link set t1 up'\n");
    ASSERT_TRUE(r.ok()) << r.output;
    listeners_ = listenInNamespace("/run/netns/fwpeer", {8080, 53});
    ASSERT_EQ(listeners_.size(), 4u);
    char tmpl[] = "/tmp/fwleak.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    fw_ = std::make_unique<FireWall>(std::string(tmpl) + "/data", realCommandRunner());
  }
  void TearDown() override {
    if (fw_) fw_->waitIdle();
    fw_.reset();
    DaemonTest::TearDown();
  }

  void expectAllPass(const char* when) {
    EXPECT_TRUE(tcpConnects("192.0.2.2", 8080, kPassMs)) << when;
    EXPECT_TRUE(tcpConnects("192.0.2.3", 8080, kPassMs)) << when;
    EXPECT_TRUE(tcpConnects("198.51.100.2", 8080, kPassMs)) << when;
    EXPECT_TRUE(tcpConnects("2001:db8:1::2", 8080, kPassMs)) << when;
    EXPECT_TRUE(pings("192.0.2.3", kPassMs)) << when;
    EXPECT_TRUE(pings("2001:db8:1::2", kPassMs)) << when;
  }

  std::vector<UniqueFd> listeners_;
  std::unique_ptr<FireWall> fw_;
};

TEST_F(LeakTest, OnlyTheServerAndTheTunnelPassWhileOn) {
  // Neighbour discovery and ARP first, while everything is open.
  expectAllPass("before the kill switch");

  ASSERT_TRUE(fw_->setInterfaceToSkip("t0"));
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, true, false, true));
  fw_->waitIdle();

  EXPECT_TRUE(tcpConnects("192.0.2.2", 8080, kPassMs));
  EXPECT_TRUE(pings("192.0.2.2", kPassMs));
  EXPECT_TRUE(tcpConnects("198.51.100.2", 8080, kPassMs)) << "the tunnel interface stays open";
  EXPECT_TRUE(pings("198.51.100.2", kPassMs));

  EXPECT_FALSE(tcpConnects("192.0.2.3", 8080, kBlockMs));
  EXPECT_FALSE(pings("192.0.2.3", kBlockMs));
  EXPECT_FALSE(tcpConnects("192.0.2.3", 53, kBlockMs)) << "DNS is blocked outside the tunnel";
  EXPECT_FALSE(tcpConnects("2001:db8:1::2", 8080, kBlockMs));
  EXPECT_FALSE(pings("2001:db8:1::2", kBlockMs));
  EXPECT_FALSE(tcpConnects("::1", 8080, kBlockMs)) << "the IPv6 block covers loopback too";

  // DNS allowed: port 53 passes to any host, nothing else does.
  ASSERT_TRUE(fw_->firewallChange("192.0.2.2", true, true, false, false));
  fw_->waitIdle();
  EXPECT_TRUE(tcpConnects("192.0.2.3", 53, kPassMs));
  EXPECT_FALSE(tcpConnects("192.0.2.3", 8080, kBlockMs));

  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  expectAllPass("after the kill switch");
  EXPECT_TRUE(tcpConnects("192.0.2.3", 53, kPassMs));
}

TEST_F(LeakTest, IPv4KillSwitchAloneLeavesIPv6Alone) {
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, false, false, true));
  fw_->waitIdle();
  EXPECT_FALSE(tcpConnects("192.0.2.3", 8080, kBlockMs));
  EXPECT_FALSE(tcpConnects("198.51.100.2", 8080, kBlockMs)) << "no tunnel interface was named";
  EXPECT_TRUE(tcpConnects("2001:db8:1::2", 8080, kPassMs)) << "the kill switch covers IPv4 only";
  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  expectAllPass("after the kill switch");
}

}  // namespace
