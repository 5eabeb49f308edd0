// A real openvpn tunnel inside the kill switch, driven only through the
// control port; the daemon starts the real openvpn client (itest_main.cpp
// runs this suite with `--real openvpn`). The network namespace "server":
//   c0 192.0.2.1, 2001:db8:1::1 <-veth-> p0 192.0.2.2 (VPN server), 192.0.2.3 (another host), 2001:db8:1::2
//   tun0 10.8.0.2 <-openvpn (TLS)-> tun0 10.8.0.1, and 203.0.113.1 beyond it, only through the tunnel
// Every probe is bounded; counting rules in the INPUT chains of "server" show
// whether a packet got out at all, so a leak is caught even where the kill
// switch drops the answer.

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

constexpr int kPassMs = 2000;  // a probe that should pass gets this long
constexpr int kBlockMs = 500;  // a probe that should fail is given up after this

// The namespace, the counting rules, two self-signed certificates that pin
// each other, and the server's openvpn.
const char kSetUp[] = R"sh(set -e
mkdir -p /tmp/vpn && cd /tmp/vpn
echo '0 0' >/proc/sys/net/ipv4/ping_group_range
ip netns add server && ip link add c0 type veth peer name p0 netns server
ip addr add 192.0.2.1/24 dev c0 && ip -6 addr add 2001:db8:1::1/64 dev c0 nodad && ip link set c0 up
ip -n server link set lo up && ip -n server addr add 203.0.113.1/32 dev lo
ip -n server addr add 192.0.2.2/24 dev p0 && ip -n server addr add 192.0.2.3/24 dev p0
ip -n server -6 addr add 2001:db8:1::2/64 dev p0 nodad && ip -n server link set p0 up
ip netns exec server sh -e -c 'iptables -A INPUT -d 192.0.2.3; ip6tables -A INPUT -d 2001:db8:1::2 ! -p icmpv6'
for side in server client; do
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=$side \
    -keyout $side.key -out $side.crt 2>/dev/null
  printf 'dev tun0\nproto udp\ndh none\ncert %s.crt\nkey %s.key\nwritepid %s.pid\nlog %s.log\n' \
    /tmp/vpn/$side /tmp/vpn/$side /tmp/vpn/$side /tmp/vpn/$side >$side.conf
done
fp() { openssl x509 -in $1.crt -noout -fingerprint -sha256 | cut -d= -f2; }
printf 'tls-server\nlocal 192.0.2.2\nport 1194\nifconfig 10.8.0.1 10.8.0.2\npeer-fingerprint %s\n' \
  "$(fp client)" >>server.conf
printf 'tls-client\nremote 192.0.2.2 1194\nnobind\nifconfig 10.8.0.2 10.8.0.1\nroute 203.0.113.1\n' >>client.conf
echo "peer-fingerprint $(fp server)" >>client.conf
ip netns exec server openvpn --config server.conf --daemon
)sh";

enum Proto { kTcp, kUdp, kPing };
struct Probe {
  Proto proto;
  const char* ip;
  int port;
};
using Probes = std::vector<Probe>;
const Probes kTunnel = {{kTcp, "203.0.113.1", 7}, {kUdp, "203.0.113.1", 7}, {kPing, "203.0.113.1", 0}};
const Probes kOther = {{kTcp, "192.0.2.3", 7}, {kUdp, "192.0.2.3", 7}, {kPing, "192.0.2.3", 0}};
const Probes kDns = {{kTcp, "192.0.2.3", 53}, {kUdp, "192.0.2.3", 53}};
const Probes kIpv6 = {{kTcp, "2001:db8:1::2", 7}, {kUdp, "2001:db8:1::2", 7}};

std::string describe(const Probe& p) {
  return std::string(p.proto == kTcp ? "TCP " : p.proto == kUdp ? "UDP " : "ICMP ") + p.ip + " " +
         std::to_string(p.port);
}

// The peers of TCP and UDP probes, by describe(): sockets of "server" bound to
// the probed address, so that answers come from it. The kernel completes TCP
// handshakes without an accept; the probe itself echoes UDP.
std::map<std::string, UniqueFd> peers;

UniqueFd socketFor(const Probe& p, addrinfo** ai) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = p.proto == kTcp ? SOCK_STREAM : SOCK_DGRAM;
  if (::getaddrinfo(p.ip, std::to_string(p.port).c_str(), &hints, ai) != 0) return UniqueFd();
  return UniqueFd(::socket((*ai)->ai_family, hints.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           p.proto == kPing ? IPPROTO_ICMP : 0));
}

bool addPeer(const Probe& p) {
  UniqueFd home(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
  UniqueFd server(::open("/run/netns/server", O_RDONLY | O_CLOEXEC));
  if (!home || !server || ::setns(server.get(), CLONE_NEWNET) != 0) return false;
  addrinfo* ai = nullptr;
  UniqueFd fd = socketFor(p, &ai);
  const bool ok = fd && ::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0 &&
                  (p.proto == kUdp || ::listen(fd.get(), 128) == 0);
  if (ai != nullptr) ::freeaddrinfo(ai);
  if (::setns(home.get(), CLONE_NEWNET) != 0) std::abort();  // never probe from the wrong side
  peers[describe(p)] = std::move(fd);
  return ok;
}

// True when the probe is answered within `timeoutMs`: a completed TCP
// handshake, the UDP datagram echoed, the ping (an ICMP socket) replied to.
bool answered(const Probe& p, int timeoutMs) {
  addrinfo* ai = nullptr;
  UniqueFd fd = socketFor(p, &ai);
  int err = !fd ? EBADF : ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0 ? 0 : errno;
  if (ai != nullptr) ::freeaddrinfo(ai);
  char b[8] = {8};  // also an ICMP echo request: the kernel fills in id and checksum
  // EPERM from connect or send: dropped on its way out.
  if (p.proto != kTcp && (err != 0 || ::send(fd.get(), b, sizeof b, 0) < 0)) return false;
  if (p.proto == kTcp && err != EINPROGRESS) return err == 0;
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    if (p.proto == kUdp) {
      const int peer = peers.at(describe(p)).get();
      sockaddr_storage from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(peer, b, sizeof b, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0) ::sendto(peer, b, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
    pollfd pfd{fd.get(), static_cast<short>(p.proto == kTcp ? POLLOUT : POLLIN), 0};
    if (::poll(&pfd, 1, 10) != 1) continue;
    socklen_t len = sizeof err;
    if (p.proto == kTcp) return ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    return ::recv(fd.get(), b, sizeof b, MSG_DONTWAIT) > 0;
  }
  return false;
}

// Packets that reached 192.0.2.3 or (but ICMPv6) 2001:db8:1::2 since the last call.
long arrivals() {
  CommandResult r = runCommand("ip netns exec server sh -e -c 'iptables -nvxL INPUT; ip6tables -nvxL INPUT; "
                               "iptables -Z INPUT; ip6tables -Z INPUT'");
  EXPECT_TRUE(r.ok()) << r.output;
  long n = 0, v = 0;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) n += std::istringstream(line) >> v ? v : 0;
  return n;
}

void expectAnswered(const std::vector<Probes>& sets, const std::string& when) {
  for (const Probes& probes : sets)
    for (const Probe& p : probes) EXPECT_TRUE(answered(p, kPassMs)) << describe(p) << " " << when;
}

void expectBlocked(const std::vector<Probes>& sets, const std::string& when) {
  arrivals();
  for (const Probes& probes : sets)
    for (const Probe& p : probes) EXPECT_FALSE(answered(p, kBlockMs)) << describe(p) << " " << when;
  EXPECT_EQ(arrivals(), 0) << "packets left the machine outside the tunnel " << when;
}

bool ctl(std::vector<std::string> args, const std::vector<std::string>& flags = {}) {
  args.insert(args.end(), flags.begin(), flags.end());
  CommandResult r = runCtl(args);
  EXPECT_TRUE(r.ok()) << r.output;
  return r.ok();
}

class RealVpnTest : public DaemonTest {};

TEST_F(RealVpnTest, OnlyTheTunnelPassesAndNothingLeaksWhenItDrops) {
  if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "this machine has no /dev/net/tun: no real tunnel";
  CommandResult setUp = runCommand(kSetUp);
  ASSERT_TRUE(setUp.ok()) << setUp.output << fileText("/tmp/vpn/server.log");
  for (const Probes& probes : {kTunnel, kOther, kDns, kIpv6})
    for (const Probe& p : probes)
      ASSERT_TRUE(p.proto == kPing || addPeer(p)) << describe(p) << ": " << std::strerror(errno);
  ASSERT_TRUE(startDaemon());
  ASSERT_TRUE(ctl({"openvpn", "--", "--config", "/tmp/vpn/client.conf"}));
  ASSERT_TRUE(waitUntil([] { return answered(kTunnel[2], 200); }, 20000, 100))
      << "no tunnel:\n" << fileText("/tmp/vpn/client.log") << fileText("/tmp/vpn/server.log");

  // The user's own firewall, set after the daemon's start-up reset opened everything.
  ASSERT_TRUE(runCommand("iptables -A OUTPUT -d 198.51.100.9 -j REJECT && "
                         "ip6tables -A INPUT -s 2001:db8:9::/48 -j DROP").ok());
  const std::string userRules = runCommand("iptables -S && ip6tables -S").output;
  expectAnswered({kTunnel, kOther, kDns, kIpv6}, "before the kill switch");

  // Each on and change below ends with a foreground save or restore of the
  // IPv6 rules, which waits for the rule scripts issued before it; off
  // restores the user's IPv4 rules in the foreground.
  const std::vector<std::string> on = {"firewall", "on", "--servers", "192.0.2.2", "--interface", "tun0"};
  ASSERT_TRUE(ctl(on, {"--block-ipv6"}));
  expectBlocked({kOther, kIpv6}, "with the kill switch on and IPv6 blocked");
  expectAnswered({kTunnel, kDns}, "through the tunnel, or DNS (allowed)");

  ASSERT_TRUE(ctl({"firewall", "change", "--servers", "192.0.2.2", "--interface", "tun0", "--block-dns"}));
  expectBlocked({kOther, kDns}, "after a change that blocks DNS");
  expectAnswered({kTunnel, kIpv6}, "through the tunnel, or IPv6 (unblocked), after a change");

  ASSERT_TRUE(ctl({"firewall", "off"}));
  expectAnswered({kTunnel, kOther, kDns, kIpv6}, "after the kill switch");
  EXPECT_EQ(runCommand("iptables -S && ip6tables -S").output, userRules);

  // The tunnel drops while the kill switch is on: nothing may leak.
  ASSERT_TRUE(ctl(on, {"--block-ipv6", "--block-dns"}));
  const pid_t client = readPidFile("/tmp/vpn/client.pid"), server = readPidFile("/tmp/vpn/server.pid");
  ASSERT_TRUE(client > 0 && ::kill(client, SIGKILL) == 0 && waitProcessGone(client));
  expectBlocked({kOther, kDns, kIpv6}, "after openvpn was killed");
  EXPECT_TRUE(server > 0 && ::kill(server, SIGKILL) == 0 && waitProcessGone(server));
  EXPECT_TRUE(stopDaemon());
}

}  // namespace
