// A real openvpn tunnel inside the kill switch, driven only through the control port; the daemon starts the real
// openvpn client (itest_main.cpp runs this suite with `--real openvpn`) for nobody, a member of group tundrafox, and
// refuses what nobody must not do with openvpn's options. The network namespace "server":
//   c0 192.0.2.1, 2001:db8:1::1 <-veth-> p0 192.0.2.2 (VPN server), 192.0.2.3 (another host), 2001:db8:1::2
//   tun0 10.8.0.2 <-openvpn (TLS)-> tun0 10.8.0.1, and 203.0.113.1 beyond it, only through the tunnel
// Every probe is bounded; counting rules in the INPUT chains of "server" show whether a packet got out at all, so
// a leak is caught even where the kill switch drops the answer.
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

// The namespace, the counting rules, two self-signed certificates that pin each other, the server's openvpn.
const char kSetUp[] = R"sh(set -e
mkdir -p /tmp/vpn && cd /tmp/vpn && echo '0 0' >/proc/sys/net/ipv4/ping_group_range
ip netns add server && ip link add c0 type veth peer name p0 netns server
ip addr add 192.0.2.1/24 dev c0 && ip -6 addr add 2001:db8:1::1/64 dev c0 nodad && ip link set c0 up
ip -n server link set lo up && ip -n server addr add 203.0.113.1/32 dev lo
ip -n server addr add 192.0.2.2/24 dev p0 && ip -n server addr add 192.0.2.3/24 dev p0
ip -n server -6 addr add 2001:db8:1::2/64 dev p0 nodad && ip -n server link set p0 up
ip netns exec server sh -e -c 'iptables -A INPUT -d 192.0.2.3; ip6tables -A INPUT -d 2001:db8:1::2 ! -p icmpv6'
for side in server client; do
  openssl req -x509 -newkey ed25519 -nodes -days 1 -subj /CN=$side -keyout $side.key -out $side.crt 2>/dev/null
done
fp() { echo "peer-fingerprint $(openssl x509 -in $1.crt -noout -fingerprint -sha256 | cut -d= -f2)"; }
{ printf 'dev tun0\nproto udp\ndh none\ntls-server\nlocal 192.0.2.2\nport 1194\nifconfig 10.8.0.1 10.8.0.2\n'
  printf 'cert %s\nkey %s\nwritepid %s\nlog %s\n' $PWD/server.crt $PWD/server.key $PWD/server.pid $PWD/server.log
  fp client; } >server.conf
# The client's profile as a provider hands it out, keys inline, readable by its user alone: nobody, in tundrafox.
{ printf 'tls-client\ndev tun0\nproto udp\nremote 192.0.2.2 1194\nnobind\nifconfig 10.8.0.2 10.8.0.1\n'
  printf 'route 203.0.113.1\n'; fp server; printf '<cert>\n'; cat client.crt; printf '</cert>\n<key>\n'; cat client.key
  printf '</key>\n'; } >client.conf
chown nobody client.conf && chmod 600 client.conf && rm client.key && echo tundrafox:x:979:nobody >>/etc/group
ip netns exec server openvpn --config server.conf --daemon
)sh";

// A TCP handshake, a UDP datagram echoed, or (kUdp, port 0) a ping through an ICMP socket.
struct Probe { int type; const char* ip; int port; };
using Probes = std::vector<Probe>;
constexpr int kTcp = SOCK_STREAM, kUdp = SOCK_DGRAM;
const Probes kTunnel = {{kTcp, "203.0.113.1", 7}, {kUdp, "203.0.113.1", 7}, {kUdp, "203.0.113.1", 0}};
const Probes kOther = {{kTcp, "192.0.2.3", 7}, {kUdp, "192.0.2.3", 7}, {kUdp, "192.0.2.3", 0}};
const Probes kDns = {{kTcp, "192.0.2.3", 53}, {kUdp, "192.0.2.3", 53}};
const Probes kIpv6 = {{kTcp, "2001:db8:1::2", 7}, {kUdp, "2001:db8:1::2", 7}};

std::string describe(const Probe& p) {
  return (p.type == kTcp ? "TCP " : p.port ? "UDP " : "ICMP ") + std::string(p.ip) + " " + std::to_string(p.port);
}

// The peers of TCP and UDP probes, by describe(): sockets of "server" bound to the probed address, so that answers
// come from it. The kernel completes TCP handshakes without an accept; the probe itself echoes UDP.
std::map<std::string, UniqueFd> peers;

// A socket for the probe whose connects, sends and receives give up after `ms`, and its address in *ai.
UniqueFd socketFor(const Probe& p, addrinfo** ai, int ms) {
  const addrinfo hints{AI_NUMERICHOST | AI_NUMERICSERV, AF_UNSPEC, p.type, 0, 0, nullptr, nullptr, nullptr};
  if (::getaddrinfo(p.ip, std::to_string(p.port).c_str(), &hints, ai) != 0) return UniqueFd();
  UniqueFd fd(::socket((*ai)->ai_family, p.type | SOCK_CLOEXEC, p.port ? 0 : IPPROTO_ICMP));
  const timeval tv{ms / 1000, ms % 1000 * 1000};
  for (int option : {SO_SNDTIMEO, SO_RCVTIMEO}) ::setsockopt(fd.get(), SOL_SOCKET, option, &tv, sizeof tv);
  return fd;
}

bool addPeer(const Probe& p) {
  UniqueFd home(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
  UniqueFd server(::open("/run/netns/server", O_RDONLY | O_CLOEXEC));
  if (!home || !server || ::setns(server.get(), CLONE_NEWNET) != 0) return false;
  addrinfo* ai = nullptr;
  UniqueFd fd = socketFor(p, &ai, 2000);
  const bool ok = fd && ::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0 &&
                  (p.type == kUdp || ::listen(fd.get(), 128) == 0);
  if (ai != nullptr) ::freeaddrinfo(ai);
  if (::setns(home.get(), CLONE_NEWNET) != 0) std::abort();  // never probe from the wrong side
  peers[describe(p)] = std::move(fd);
  return ok;
}

// True when the probe is answered, each step within `ms`.
bool answered(const Probe& p, int ms) {
  addrinfo* ai = nullptr;
  UniqueFd fd = socketFor(p, &ai, ms);
  // EPERM from connect or send: dropped on its way out.
  const bool connected = fd && ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) == 0;
  if (ai != nullptr) ::freeaddrinfo(ai);
  char b[8] = {8};  // also an ICMP echo request: the kernel fills in id and checksum
  if (p.type == kTcp || !connected || ::send(fd.get(), b, sizeof b, 0) < 0) return connected && p.type == kTcp;
  if (p.port != 0) {  // UDP: the peer echoes what it got
    const int peer = peers.at(describe(p)).get();
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(peer, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0 || ::sendto(peer, b, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len) != n)
      return false;
  }
  return ::recv(fd.get(), b, sizeof b, 0) > 0;
}

// Packets that reached 192.0.2.3 or (but ICMPv6) 2001:db8:1::2 since the last call; -1 if unknown.
long arrivals() {
  const CommandResult r = runCommand("ip netns exec server sh -e -c 'iptables -nvxL INPUT; ip6tables -nvxL INPUT; "
                                     "iptables -Z INPUT; ip6tables -Z INPUT' >/tmp/vpn/counts && "
                                     "awk '{ n += $1 } END { print n + 0 }' /tmp/vpn/counts");
  return r.ok() ? std::stol(r.output) : -1;
}

// The probes of `blocked` fail (each step given up after 500 ms) without a packet getting out; `passing` pass.
void expectOnly(const std::vector<Probes>& passing, const std::vector<Probes>& blocked, const std::string& when) {
  arrivals();
  for (const Probes& probes : blocked)
    for (const Probe& p : probes) EXPECT_FALSE(answered(p, 500)) << describe(p) << " " << when;
  EXPECT_EQ(arrivals(), 0) << "packets left the machine outside the tunnel " << when;
  for (const Probes& probes : passing)
    for (const Probe& p : probes) EXPECT_TRUE(answered(p, 2000)) << describe(p) << " " << when;
}

// tundrafoxctl as root, or as nobody (a member of group tundrafox once kSetUp or kAttacks ran).
CommandResult ctlAs(bool root, const std::string& args) {
  return runCommand((root ? "" : "setpriv --reuid 65534 --regid 65534 --clear-groups ") + ctlPath() + " " + args);
}

bool ctl(const std::string& args, bool root = true) {
  const CommandResult r = ctlAs(root, args);
  EXPECT_TRUE(r.ok()) << args << ":\n" << r.output;
  return r.ok();
}

// The openvpn processes started with a configuration the daemon wrote.
std::vector<pid_t> openvpnsStartedForAUser() {
  std::vector<pid_t> pids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc"))
    if (const std::string pid = entry.path().filename(); std::isdigit(static_cast<unsigned char>(pid[0])) &&
        fileText("/proc/" + pid + "/cmdline").find("/run/tundrafoxd/openvpn/") != std::string::npos)
      pids.push_back(std::stoi(pid));
  return pids;
}

// What nobody, in group tundrafox, tries: a script and a plugin that leave a marker, a file of root's to overwrite.
const char kAttacks[] = R"sh(set -e
mkdir -p /tmp/u && echo tundrafox:x:979:nobody >>/etc/group && echo precious >/etc/victim && chmod 600 /etc/victim
printf '#!/bin/sh\nid -u >"$0-ran"\n' >/tmp/u/up.sh && cp /tmp/u/up.sh /etc/openvpn/tf-up
chmod 755 /tmp/u/up.sh /etc/openvpn/tf-up
echo '__attribute__((constructor)) static void f(void) { fopen("/tmp/u/plugin-ran", "w"); }' |
  cc -x c -include stdio.h -shared -fPIC -o /tmp/u/evil.so -
printf 'dev tun\nifconfig 10.9.0.1 10.9.0.2\nscript-security 2\nup /tmp/u/up.sh\n' >/tmp/u/evil.conf
ln -s /etc/shadow /tmp/u/shadow && mkfifo /tmp/u/fifo && chown -R nobody /tmp/u
)sh";

class RealVpnTest : public DaemonTest {};

TEST_F(RealVpnTest, OnlyTheTunnelPassesAndNothingLeaksWhenItDrops) {
  if (::access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "this machine has no /dev/net/tun: no real tunnel";
  CommandResult setUp = runCommand(kSetUp);
  ASSERT_TRUE(setUp.ok()) << setUp.output << fileText("/tmp/vpn/server.log");
  for (const Probes& probes : {kTunnel, kOther, kDns, kIpv6})
    for (const Probe& p : probes)
      ASSERT_TRUE(p.port == 0 || addPeer(p)) << describe(p) << ": " << std::strerror(errno);
  ASSERT_TRUE(startDaemon());
  ASSERT_TRUE(ctl("openvpn -- --config /tmp/vpn/client.conf", false));
  ASSERT_TRUE(waitUntil([] { return answered(kTunnel[2], 200); }, 20000, 100))
      << "no tunnel:\n" << fileText("/tmp/vpn/server.log");
  expectOnly({kTunnel, kOther, kDns, kIpv6}, {}, "before the kill switch");

  // The rules are in once ctl returns: on and change end with an IPv6 save or restore in the foreground, which waits
  // for the scripts issued before it, and off restores the IPv4 rules in the foreground.
  ASSERT_TRUE(ctl("firewall on --servers 192.0.2.2 --interface tun0 --block-ipv6"));
  expectOnly({kTunnel, kDns}, {kOther, kIpv6}, "with the kill switch on and IPv6 blocked (DNS allowed)");
  ASSERT_TRUE(ctl("firewall change --servers 192.0.2.2 --interface tun0 --block-dns"));
  expectOnly({kTunnel, kIpv6}, {kOther, kDns}, "after a change that blocks DNS and unblocks IPv6");

  // The tunnel drops while the kill switch is on: nothing may leak past it.
  const std::vector<pid_t> clients = openvpnsStartedForAUser();
  ASSERT_EQ(clients.size(), 1u);
  const pid_t client = clients[0];
  ASSERT_TRUE(client > 0 && ::kill(client, SIGKILL) == 0 && waitProcessGone(client));
  expectOnly({kIpv6}, {kOther, kDns}, "after openvpn was killed");
  ASSERT_TRUE(ctl("firewall off"));
  expectOnly({kOther, kDns, kIpv6}, {}, "after the kill switch");
}

// Each option that ran code or touched files as root is refused before anything runs; a program only root can
// change still runs as openvpn's up script, and root keeps every option.
TEST_F(RealVpnTest, AnAllowedUserGetsNoRootThroughOpenvpnOptions) {
  ASSERT_TRUE(runCommand(kAttacks).ok());
  ASSERT_TRUE(startDaemon());
  const std::string up = "--remote 127.0.0.1 --nobind --dev tun --ifconfig 10.9.0.1 10.9.0.2 --script-security 2 --up ";
  const std::string tmp = "--up runs a program (/tmp/u/up.sh: /tmp is writable by others than root)";
  const std::pair<std::string, std::string> attacks[] = {
      {up + "/tmp/u/up.sh", tmp}, {"--config /tmp/u/evil.conf", tmp + " (/tmp/u/evil.conf line 4)"},
      {"--plugin /tmp/u/evil.so --dev null", "--plugin loads code into openvpn"},
      {"--log /etc/victim", "--log writes or creates a file"},
      {"--writepid /etc/victim", "--writepid writes or creates a file"},
      {"--log-append /tmp/u/leak.txt --config /etc/shadow", "--log-append writes or creates a file"},
      {"--config /tmp/u/shadow", "--config /tmp/u/shadow: Permission denied"},
      {"--config /tmp/u/fifo", "--config /tmp/u/fifo: not a regular file"}};
  const size_t mark = syslogMark();
  for (const auto& [args, why] : attacks) {
    EXPECT_EQ(WEXITSTATUS(ctlAs(false, "openvpn -- " + args).status), 1) << args;
    EXPECT_TRUE(waitForLog("AA_COMMAND_OPENVPN_START refused: " + why, kDefaultTimeoutMs, mark)) << args;
  }
  ASSERT_TRUE(ctl("openvpn -- " + up + "/etc/openvpn/tf-up", false));
  ASSERT_TRUE(waitUntil([] { return fileText("/etc/openvpn/tf-up-ran") == "0\n"; }, 10000));
  EXPECT_EQ(countLog("execite openvpn cmd: ", mark), 1u);
  EXPECT_EQ(runCommand("stat -c '%U %a' /run/tundrafoxd/openvpn /run/tundrafoxd/openvpn/*").output,
            "root 700\nroot 600\n");
  sleepMs(500);
  for (const char* evidence : {"/tmp/u/up.sh-ran", "/tmp/u/plugin-ran", "/tmp/u/leak.txt"})
    EXPECT_FALSE(std::filesystem::exists(evidence)) << evidence;
  EXPECT_EQ(fileText("/etc/victim"), "precious\n");

  for (pid_t pid : openvpnsStartedForAUser()) ::kill(pid, SIGKILL);
  ASSERT_TRUE(waitUntil([] { return openvpnsStartedForAUser().empty(); }));
  EXPECT_TRUE(ctl("openvpn -- " + up + "/tmp/u/up.sh"));
  EXPECT_TRUE(waitUntil([] { return fileText("/tmp/u/up.sh-ran") == "0\n"; }, 10000));
}

}  // namespace
