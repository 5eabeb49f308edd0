// The kill switch when requests race, a worker dies while it is on, or its files are hostile or cannot be
// written: the real daemon and the real iptables tools, inside the sandbox.
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

using Reply = std::array<unsigned char, kMessageReplySize>;
const Reply kYes = {1}, kNo = {0}, kNone = {0xEE};
const std::string kData = kDataDir;

std::string sh(const std::string& command) {
  CommandResult r = runCommand(command);
  EXPECT_TRUE(r.ok()) << command << ":\n" << r.output;
  return r.output;
}
// Both families' rules and policies, all tables, without counters or comments.
std::string tables() { return sh("{ iptables-save; ip6tables-save; } | grep -v '^#' | sed 's/\\[[0-9:]*\\]//'"); }
// Both families' filter tables, open: what a switch-off gives back on a machine without a firewall of its own.
std::string openTables() { return sh("iptables -P INPUT ACCEPT && ip6tables -P INPUT ACCEPT"), tables(); }
bool fullyOn() { return sh("iptables -S").find("-A OUTPUT -d 10.10.1.0/30 -j ACCEPT") != std::string::npos; }

MessagePacket onPacket(const FirewallRequest& r) {
  MessagePacket p{};
  return encodeFirewallRequest(&p, AA_COMMAND_FIREWALL_ON, r), p;
}
Reply send(const MessagePacket& p) { return exchangeRecord(p).value_or(kNone); }
bool switchOn(const MessagePacket& on) { return send(on) == kYes && waitUntil(fullyOn); }
// Switches off; true once the tables are `want` again.
bool switchOff(const std::string& want) {
  return send(makePacket(AA_COMMAND_FIREWALL_OFF)) == kYes && waitUntil([&] { return tables() == want; });
}

// Connects once per record, then sends the first record and, `laterMs` after
// it (after its reply if negative), the others all at once. Replies in order.
std::vector<Reply> sendTogether(const std::vector<MessagePacket>& packets, int laterMs) {
  std::vector<UniqueFd> fds(packets.size());
  for (UniqueFd& fd : fds) fd = connectControl();
  waitUntil([] {  // the listener has accepted them all: its accept queue (rx_queue in /proc/net/tcp) is empty
    const std::string t = fileText("/proc/net/tcp"), listening = ":5C25 00000000:0000 0A ";
    const size_t at = t.find(listening);
    return at != std::string::npos && t.compare(at + listening.size() + 9, 8, "00000000") == 0;
  });
  std::vector<Reply> out(packets.size(), kNone);
  const auto exchange = [&](size_t i) {
    ReadResult r;
    if (fds[i] && sendBytes(fds[i].get(), packets[i].bytes, sizeof packets[i].bytes)) r = readBytes(fds[i].get(), 9);
    if (r.kind == ReadResult::kComplete) std::copy(r.bytes.begin(), r.bytes.end(), out[i].begin());
  };
  std::vector<std::jthread> threads;
  threads.emplace_back(exchange, 0);
  if (laterMs < 0) threads[0].join();
  sleepMs(std::max(laterMs, 0));
  for (size_t i = 1; i < packets.size(); ++i) threads.emplace_back(exchange, i);
  threads.clear();  // joins them
  return out;
}

}  // namespace

// Switch-on requests that meet (queued behind a switch-off) each apply whole: the end state is one request's own.
// Once an update has switched the kill switch off, requests in flight around it are refused and it stays off.
TEST_F(DaemonTest, ConcurrentRequestsApplyWholeAndNoneOutlivesAnUpdate) {
  ASSERT_TRUE(startDaemon());
  const std::string open = openTables();
  std::vector<MessagePacket> offThenOns = {makePacket(AA_COMMAND_FIREWALL_OFF)};
  std::vector<std::string> legal;  // each switch-on alone, from a clean start
  for (const std::string n : {"0", "1", "2", "3"}) {
    const std::string servers = "192.0.2." + n + ";198.51.100." + n;
    offThenOns.push_back(onPacket({servers, "tun" + n, true, false, true, false, true}));
    ASSERT_TRUE(switchOn(offThenOns.back()));
    legal.push_back(tables());
    ASSERT_TRUE(switchOff(open));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (int trial = 0; trial < 100 && std::chrono::steady_clock::now() < deadline; ++trial) {
    EXPECT_EQ(sendTogether(offThenOns, 2), std::vector<Reply>(5, kYes));
    // One switch-on's own state, or open when all came before the switch-off.
    const auto whole = [&](const std::string& t) { return t == open || std::ranges::find(legal, t) != legal.end(); };
    ASSERT_TRUE(waitUntil([&] { return whole(tables()); })) << "trial " << trial << ":\n" << tables();
  }
  ASSERT_TRUE(switchOff(open));

  // Host names whose lookups hang (a name server that never answers): a later request ends that switch-on's script
  // and applies itself at once, a switch-on whole (its step cut short counts as not applied), a switch-off open.
  sh("rm -f /etc/resolv.conf && echo 'nameserver 127.0.0.1' >/etc/resolv.conf");
  UniqueFd silent(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in dns{.sin_family = AF_INET, .sin_port = htons(53), .sin_addr{htonl(INADDR_LOOPBACK)}, .sin_zero{}};
  ASSERT_EQ(::bind(silent.get(), reinterpret_cast<sockaddr*>(&dns), sizeof dns), 0);
  const MessagePacket hanging = onPacket({"a.example;b.example;192.0.2.9", "tun9", true, false, true, false, true});
  for (const auto& [next, wanted] : {std::pair{offThenOns[0], open}, {offThenOns[1], legal[0]}}) {
    const std::string& want = wanted;  // a lambda may not capture a structured binding (clang 14)
    EXPECT_EQ(send(hanging), kYes);
    sleepMs(100);  // in a lookup by now
    EXPECT_EQ(exchangeRecord(next, 3000).value_or(kNone), kYes);
    EXPECT_TRUE(waitUntil([&] { return tables() == want; }, 3000)) << tables();
    EXPECT_EQ(countProcesses("iptables"), 0);
  }
  ASSERT_TRUE(switchOff(open));

  std::ofstream("/tmp/update.deb") << "!<arch>\n";
  MessagePacket update{};
  ASSERT_TRUE(encodePackagePath(&update, U"/tmp/update.deb"));
  for (bool afterReply : {false, true, false, true}) {
    const std::vector<Reply> replies = sendTogether({update, offThenOns[1], offThenOns[2], offThenOns[3]},
                                                    afterReply ? -1 : 0);
    ::unlink((kData + "/autoupdate-job.sh").c_str());  // the delayed job must not stop the next daemon
    EXPECT_TRUE(replies[0] == kYes && (!afterReply || std::ranges::count(replies, kNo) == 3)) << "refused after it";
    sleepMs(300);  // scripts of a request that slipped through would have run by now
    EXPECT_EQ(tables(), open) << "after update, afterReply " << afterReply;
    ASSERT_TRUE(stopDaemon() && startDaemon());
  }
}

// Links and FIFOs planted at the backups (before or while on) are replaced, never written through, waited on or read;
// empty server elements cost nothing. A worker killed while on: the next one's start gives the user's rules back.
// A read-only or full data directory: the switch-on answers 0, says which file and why, applies and records nothing.
TEST_F(DaemonTest, KillSwitchKeepsTheUserRulesThroughKilledWorkersAndHostileFiles) {
  ASSERT_TRUE(startDaemon());
  const std::string open = openTables();
  const MessagePacket on = onPacket({std::string(10000, ';') + "192.0.2.1", "tun0", true, true, false, false, true});
  for (bool whileOn : {false, true}) {
    ASSERT_TRUE(!whileOn || switchOn(on));
    sh("echo precious >/tmp/target && cd " + kData +
       " && rm -f ip*tables.rules && ln -s /tmp/target iptables.rules && mkfifo ip6tables.rules");
    EXPECT_TRUE(whileOn || switchOn(on));
    EXPECT_EQ(fileText(kData + "/fw.sh").find("-d  -j"), std::string::npos);
    EXPECT_EQ(sh("stat -c %a " + kData + "/fw.sh"), "640\n");  // the daemon's umask 027
    EXPECT_TRUE(switchOff(open)) << "whileOn " << whileOn << ":\n" << tables();
    EXPECT_EQ(fileText("/tmp/target"), "precious\n");
  }

  sh("iptables -N USERCHAIN && iptables -A USERCHAIN -p tcp --dport 2222 -j RETURN && "
     "iptables -A INPUT -s 203.0.113.9 -j USERCHAIN && iptables -P FORWARD DROP && "
     "iptables -t nat -A POSTROUTING -s 203.0.113.0/24 -j MASQUERADE && "
     "ip6tables -A INPUT -s 2001:db8:9::/48 -j DROP && ip6tables -P FORWARD DROP");
  const std::string before = tables();
  // The next worker's start takes the dead worker's kill switch away and gives the user's rules back; a switch-on
  // then saves them afresh.
  ASSERT_TRUE(switchOn(on));
  ASSERT_EQ(::kill(workerPid(), SIGKILL), 0);
  ASSERT_TRUE(waitForLogCount("firewallImpl.reset();", 2) && waitForControlPort());
  EXPECT_EQ(tables(), before);
  EXPECT_TRUE(switchOn(on) && switchOff(before)) << tables();

  // The same when /run is full: the backup would be pending unrecorded, and a later worker would overwrite it.
  const std::string run = "/run/tundrafoxd";
  for (const auto& [dir, options, file, why] :
       {std::tuple{kData, "ro,size=64k", "/iptables.rules: ", "Read-only file system"},
        {kData, "size=4k", "/iptables.rules: ", "No space left on device"},
        {run, "size=4k,mode=0700", "/rule-backups-pending: ", "No space left on device"}}) {
    runCommand("mkdir -p " + dir + " && mount -t tmpfs -o " + options + " tmpfs " + dir + " && cat /dev/zero >" + dir +
               "/fill");
    EXPECT_EQ(send(on), kNo) << why;
    sleepMs(200);
    EXPECT_EQ(countLog(dir + file + why), 1u);
    EXPECT_EQ(tables(), before);
    sh("umount " + dir);
    EXPECT_TRUE(switchOn(on)) << "nothing was taken for applied";
    EXPECT_TRUE(switchOff(before)) << tables();
  }
}
