// The kill switch when requests race, a worker dies while it is on, the data
// directory cannot be written or holds files the daemon did not put there:
// the real daemon and the real iptables tools, inside the sandbox.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
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
bool fullyOn() { return sh("iptables -S").find("-A OUTPUT -d 10.10.1.0/30 -j ACCEPT") != std::string::npos; }

MessagePacket packet(int32_t command, const FirewallRequest& r = {}) {
  MessagePacket p = makePacket(command);
  EXPECT_TRUE(command == AA_COMMAND_FIREWALL_OFF || encodeFirewallRequest(&p, command, r));
  return p;
}
Reply send(const MessagePacket& p) { return exchangeRecord(p).value_or(kNone); }

// True when the listener has accepted every connection made so far: the
// accept queue of the listening socket (rx_queue in /proc/net/tcp) is empty.
bool allAccepted() {
  const std::string t = fileText("/proc/net/tcp"), listening = ":5C25 00000000:0000 0A ";
  const size_t at = t.find(listening);
  return at != std::string::npos && t.compare(at + listening.size() + 9, 8, "00000000") == 0;
}

// Connects once per record, then sends the first record and, `laterMs` after
// it (after its reply if negative), the others all at once. Replies in order.
std::vector<Reply> sendTogether(const std::vector<MessagePacket>& packets, int laterMs) {
  std::vector<UniqueFd> fds;
  for (size_t i = 0; i < packets.size(); ++i) fds.push_back(connectControl());
  waitUntil(allAccepted);  // before the first record goes out
  std::promise<void> firstDone;
  std::shared_future<void> first = firstDone.get_future().share();
  std::vector<std::future<Reply>> replies;
  for (size_t i = 0; i < packets.size(); ++i) {
    replies.push_back(std::async(std::launch::async, [&, i] {
      if (i > 0 && laterMs < 0) first.wait();
      if (i > 0 && laterMs > 0) sleepMs(laterMs);
      ReadResult r;
      if (fds[i] && sendBytes(fds[i].get(), packets[i].bytes, sizeof packets[i].bytes)) r = readBytes(fds[i].get(), 9);
      if (i == 0) firstDone.set_value();
      Reply out = kNone;
      if (r.kind == ReadResult::kComplete) std::copy(r.bytes.begin(), r.bytes.end(), out.begin());
      return out;
    }));
  }
  std::vector<Reply> out;
  for (auto& r : replies) out.push_back(r.get());
  return out;
}

// A user's own firewall in both families: rules, a chain, policies, nat.
void setUpUserRules() {
  sh("iptables -N USERCHAIN && iptables -A USERCHAIN -p tcp --dport 2222 -j RETURN && "
     "iptables -A INPUT -s 203.0.113.9 -j USERCHAIN && iptables -P FORWARD DROP && "
     "iptables -t nat -A POSTROUTING -s 203.0.113.0/24 -j MASQUERADE && "
     "ip6tables -A INPUT -s 2001:db8:9::/48 -j DROP && ip6tables -P FORWARD DROP");
}

}  // namespace

// Switch-on requests that meet (queued behind a switch-off) each apply as a
// whole: the end state is one request's own. Once an update has switched the
// kill switch off, requests in flight around it are refused and it stays off.
TEST_F(DaemonTest, ConcurrentRequestsApplyWholeAndNoneOutlivesAnUpdate) {
  ASSERT_TRUE(startDaemon());
  const std::string open = tables();
  const MessagePacket off = packet(AA_COMMAND_FIREWALL_OFF);
  std::vector<MessagePacket> ons;
  std::vector<std::string> legal = {open};  // each request alone, from a clean start
  for (int i = 0; i < 4; ++i) {
    const std::string n = std::to_string(i);
    ons.push_back(packet(AA_COMMAND_FIREWALL_ON,
                         {"192.0.2." + n + ";198.51.100." + n, "tun" + n, true, false, true, false, true}));
    ASSERT_EQ(send(ons.back()), kYes);
    ASSERT_TRUE(waitUntil(fullyOn));
    legal.push_back(tables());
    ASSERT_EQ(send(off), kYes);
    ASSERT_TRUE(waitUntil([&] { return tables() == open; }));
  }
  std::vector<MessagePacket> offThenOns = {off, ons[0], ons[1], ons[2], ons[3]};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (int trial = 0; trial < 100 && std::chrono::steady_clock::now() < deadline; ++trial) {
    for (const Reply& r : sendTogether(offThenOns, 2)) EXPECT_EQ(r, kYes);
    // Open only when a switch-on came before the switch-off.
    const bool on = waitUntil([&] { return std::find(legal.begin() + 1, legal.end(), tables()) != legal.end(); });
    ASSERT_TRUE(on || tables() == open) << "trial " << trial << ":\n" << tables();
  }
  ASSERT_EQ(send(off), kYes);

  std::ofstream("/tmp/update.deb") << "!<arch>\n";
  MessagePacket update{};
  ASSERT_TRUE(encodePackagePath(&update, U"/tmp/update.deb"));
  for (bool afterReply : {false, true, false, true}) {
    std::vector<Reply> replies = sendTogether({update, ons[0], ons[1], ons[2]}, afterReply ? -1 : 0);
    EXPECT_EQ(replies[0], kYes);
    ::unlink((kData + "/autoupdate-job.sh").c_str());  // the delayed job must not stop the next daemon
    if (afterReply) {
      EXPECT_EQ(std::count(replies.begin(), replies.end(), kNo), 3) << "refused after the update";
    }
    sleepMs(300);  // scripts of a request that slipped through would have run by now
    EXPECT_EQ(tables(), open) << "after update, afterReply " << afterReply;
    ASSERT_TRUE(stopDaemon());
    ASSERT_TRUE(startDaemon());
  }
}

// Neither a worker killed while the kill switch is on (with or without a
// switch-on after the restart) nor a later request loses the user's rules.
TEST_F(DaemonTest, UserRulesComeBackAfterAWorkerKilledWhileOn) {
  ASSERT_TRUE(startDaemon());
  setUpUserRules();
  const std::string before = tables();
  const MessagePacket on = packet(AA_COMMAND_FIREWALL_ON, {"192.0.2.1", "tun0", true, true, false, false, true});
  size_t resets = 1;
  for (bool onAgain : {true, false}) {
    ASSERT_EQ(send(on), kYes);
    ASSERT_TRUE(waitUntil(fullyOn));
    const pid_t worker = workerPid();
    ASSERT_EQ(::kill(worker, SIGKILL), 0);
    ASSERT_TRUE(waitForLogCount("firewallImpl.reset();", ++resets) && waitForControlPort());
    EXPECT_TRUE(!onAgain || (send(on) == kYes && waitUntil(fullyOn)));
    EXPECT_EQ(send(packet(AA_COMMAND_FIREWALL_OFF)), kYes);
    EXPECT_TRUE(waitUntil([&] { return tables() == before; })) << "onAgain " << onAgain << ":\n" << tables();
  }
}

// A data directory that is read-only or full: the switch-on answers 0, says
// which file and why, applies nothing and records nothing as applied.
TEST_F(DaemonTest, SwitchOnThatCannotWriteItsFilesAnswersZero) {
  ASSERT_TRUE(startDaemon());
  const std::string open = tables();
  const MessagePacket on = packet(AA_COMMAND_FIREWALL_ON, {"192.0.2.1", "tun0", true, true, false, false, false});
  for (const auto& [mount, why] :
       {std::pair{"-o ro,size=64k tmpfs " + kData, "Read-only file system"},
        {"-o size=4k tmpfs " + kData + " && cat /dev/zero > " + kData + "/fill", "No space left on device"}}) {
    runCommand("mount -t tmpfs " + mount);
    const size_t mark = syslogMark();
    EXPECT_EQ(send(on), kNo) << why;
    EXPECT_TRUE(waitForLog(kData + "/iptables.rules: " + why, kDefaultTimeoutMs, mark));
    sleepMs(200);
    EXPECT_EQ(tables(), open);
    sh("umount " + kData);
    EXPECT_EQ(send(on), kYes);  // nothing was taken for applied
    EXPECT_TRUE(waitUntil(fullyOn));
    EXPECT_EQ(send(packet(AA_COMMAND_FIREWALL_OFF)), kYes);
    EXPECT_TRUE(waitUntil([&] { return tables() == open; }));
  }
}

// Links and FIFOs planted where the backups go are replaced, never written
// through or waited on; a backup that is no regular file is never read. Empty
// server elements cost nothing.
TEST_F(DaemonTest, PlantedLinksAndFifosAreNeverFollowedAndEmptyServersCostNothing) {
  ASSERT_TRUE(startDaemon());
  const std::string open = tables();
  sh("echo precious > /tmp/target && ln -s /tmp/target " + kData + "/iptables.rules && mkfifo " + kData +
     "/ip6tables.rules");
  const MessagePacket on =
      packet(AA_COMMAND_FIREWALL_ON, {std::string(10000, ';') + "192.0.2.1", "", true, true, false, false, false});
  EXPECT_EQ(send(on), kYes);
  EXPECT_EQ(fileText("/tmp/target"), "precious\n");
  EXPECT_TRUE(waitUntil(fullyOn));
  EXPECT_EQ(fileText(kData + "/fw.sh").find("-d  -j"), std::string::npos);
  EXPECT_EQ(send(packet(AA_COMMAND_FIREWALL_OFF)), kYes);
  EXPECT_TRUE(waitUntil([&] { return tables() == open; }));

  EXPECT_EQ(send(on), kYes);
  sh("rm " + kData + "/ip*tables.rules && ln -s /tmp/target " + kData + "/iptables.rules && mkfifo " + kData +
     "/ip6tables.rules");
  EXPECT_EQ(send(packet(AA_COMMAND_FIREWALL_OFF)), kYes);
  EXPECT_TRUE(waitUntil([&] { return tables() == open; })) << tables();
}
