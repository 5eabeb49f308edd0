// Every request command against the real daemon, through the control port
// and through tundrafoxctl: reply bytes, log lines, and what the recording
// stubs received.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "control/text.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

using Reply = std::array<unsigned char, kMessageReplySize>;
const Reply kYes = {1, 0, 0, 0, 0, 0, 0, 0, 0};
const Reply kNo = {0, 0, 0, 0, 0, 0, 0, 0, 0};

MessagePacket firewallPacket(int32_t command, const std::string& servers, const std::string& iface,
                             bool killSwitch, bool blockIPv6, bool allowLan, bool changeTz, bool blockDns) {
  MessagePacket packet = makePacket(command);
  FirewallRequest r{servers, iface, killSwitch, blockIPv6, allowLan, changeTz, blockDns};
  EXPECT_TRUE(encodeFirewallRequest(&packet, command, r));
  return packet;
}

MessagePacket timezonePacket(bool restore, const std::string& name) {
  MessagePacket packet = makePacket(8);
  EXPECT_TRUE(encodeTimezoneRequest(&packet, {restore, name}));
  return packet;
}

MessagePacket openvpnPacket(const std::string& utf8) {
  MessagePacket packet = makePacket(9);
  std::u32string units;
  EXPECT_TRUE(utf8ToWide(utf8, &units));
  EXPECT_TRUE(encodeOpenvpnArguments(&packet, units));
  return packet;
}

Reply send(const MessagePacket& packet) {
  auto reply = exchangeRecord(packet);
  EXPECT_TRUE(reply.has_value()) << "no reply";
  return reply.value_or(Reply{0xEE});
}

size_t countCalls(const std::string& prefix) {
  auto calls = stubCalls();
  return static_cast<size_t>(
      std::count_if(calls.begin(), calls.end(), [&](const std::string& c) { return c.starts_with(prefix); }));
}

bool iptablesHas(const std::string& text) { return runCommand("iptables-save").output.find(text) != std::string::npos; }

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The daemon reads its default timezone when it starts.
void setDefaultTimezone(const std::string& name) {
  ::mkdir("/etc/sysconfig", 0755);
  ::unlink("/etc/sysconfig/clock");
  ::unlink("/etc/TIMEZONE");
  if (name.empty()) {
    ::unlink("/etc/timezone");
  } else {
    writeFile("/etc/timezone", name + "\n");
  }
}

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

TEST_F(DaemonTest, UnrecognisedCommandsGetANineZeroByteReply) {
  ASSERT_TRUE(startDaemon());
  for (int32_t command : {4, 0, 11, -1}) {
    const size_t mark = syslogMark();
    MessagePacket packet = makePacket(command);
    std::fill(packet.bytes + 4, packet.bytes + 200, 0x41);
    EXPECT_EQ(send(packet), kNo) << command;
    EXPECT_TRUE(waitForLog(" - Receive command: " + std::to_string(command), kDefaultTimeoutMs, mark));
    EXPECT_EQ(logSeverity("Receive command: ", mark), 6);
  }
  EXPECT_TRUE(stubCalls().empty());
}

TEST_F(DaemonTest, FirewallCommandsDriveTheKillSwitch) {
  ASSERT_TRUE(startDaemon());
  size_t mark = syslogMark();
  EXPECT_EQ(send(firewallPacket(1, "10.20.30.40;10.20.30.41", "tun7", true, false, true, true, false)), kYes);
  EXPECT_TRUE(waitForLog("AA_COMMAND_FIREWALL_ON | Kill connect = true | block_ipv6 = false | allow_local_ip = true | "
                         "change_timezone = true | block_dns = false",
                         kDefaultTimeoutMs, mark));
  EXPECT_TRUE(waitUntil([] { return iptablesHas("10.20.30.40") && iptablesHas("tun7"); }));

  mark = syslogMark();
  EXPECT_EQ(send(firewallPacket(3, "10.20.30.50", "tun8", true, true, false, false, true)), kYes);
  EXPECT_TRUE(waitForLog("AA_COMMAND_FIREWALL_CHANGE | Kill connect = true | block_ipv6 = true | "
                         "allow_local_ip = false | change_timezone = false | block_dns = true",
                         kDefaultTimeoutMs, mark));
  // The kill switch stays as it is; the IPv6 block is added.
  EXPECT_TRUE(waitUntil([] { return runCommand("ip6tables-save").output.find("DROP") != std::string::npos; }));

  for (int32_t command : {5, 6}) EXPECT_EQ(send(makePacket(command)), kYes) << command;

  mark = syslogMark();
  EXPECT_EQ(send(makePacket(2)), kYes);
  EXPECT_TRUE(waitForLog(" - AA_COMMAND_FIREWALL_OFF", kDefaultTimeoutMs, mark));
  EXPECT_TRUE(waitUntil([] { return !iptablesHas("10.20.30.40"); }));
  // Off again: still 1.
  EXPECT_EQ(send(makePacket(2)), kYes);
}

TEST_F(DaemonTest, RefusedFirewallRequestAnswersZeroAndChangesNothing) {
  ASSERT_TRUE(startDaemon());
  const std::string before = runCommand("iptables-save").output;
  const size_t mark = syslogMark();
  EXPECT_EQ(send(firewallPacket(1, "10.0.0.1", "tun0;touch /tmp/pwned", true, true, true, false, true)), kNo);
  EXPECT_EQ(send(firewallPacket(1, "10.0.0.1;$(touch /tmp/pwned)", "tun0", true, true, true, false, true)), kNo);
  EXPECT_EQ(send(firewallPacket(3, "`touch /tmp/pwned`", "tun0", true, false, false, false, false)), kNo);
  EXPECT_TRUE(waitForLogCount("refused: ", 3, kDefaultTimeoutMs, mark));
  sleepMs(300);
  EXPECT_FALSE(fileExists("/tmp/pwned"));
  EXPECT_FALSE(iptablesHas("DROP"));
  EXPECT_EQ(runCommand("iptables-save").output.find("10.0.0.1"), std::string::npos) << before;
}

TEST_F(DaemonTest, TimezoneChangeAndRestoreRunTimedatectl) {
  setDefaultTimezone("Europe/Oslo");
  ASSERT_TRUE(startDaemon());
  size_t mark = syslogMark();
  EXPECT_EQ(send(makePacket(7)), kYes);
  EXPECT_TRUE(waitForLog(" - AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED", kDefaultTimeoutMs, mark));

  mark = syslogMark();
  EXPECT_EQ(send(timezonePacket(false, "Asia/Tokyo")), kYes);
  EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Asia/Tokyo]"));
  EXPECT_TRUE(waitForLog("AA_COMMAND_TIMEZONE_CHANGE | restore timezone = false | timezone = Asia/Tokyo",
                         kDefaultTimeoutMs, mark));
  EXPECT_TRUE(waitForLog("[TimezoneWorker] Execute cmd: timedatectl set-timezone \"Asia/Tokyo\"", kDefaultTimeoutMs,
                         mark));

  // Restoring ignores the text that comes with it.
  mark = syslogMark();
  EXPECT_EQ(send(timezonePacket(true, "America/Lima")), kYes);
  EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Europe/Oslo]"));
  EXPECT_TRUE(waitForLog("AA_COMMAND_TIMEZONE_CHANGE | restore timezone = true | timezone = America/Lima",
                         kDefaultTimeoutMs, mark));
  EXPECT_EQ(countCalls("timedatectl [set-timezone] [America/Lima]"), 0u);
  // Nothing left to restore.
  EXPECT_EQ(send(timezonePacket(true, "")), kYes);
  EXPECT_EQ(countCalls("timedatectl"), 2u);
}

TEST_F(DaemonTest, UnsafeOrFailingTimezoneChangesAnswerZero) {
  setDefaultTimezone("Europe/Oslo");
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  for (const char* name : {"", "; touch /tmp/pwned", "$(touch /tmp/pwned)", "`touch /tmp/pwned`",
                           "UTC\"; touch /tmp/pwned; \"", "a\nb", "../../etc/shadow"}) {
    EXPECT_EQ(send(timezonePacket(false, name)), kNo) << name;
  }
  EXPECT_TRUE(waitForLogCount("AA_COMMAND_TIMEZONE_CHANGE refused: the timezone name", 7, kDefaultTimeoutMs, mark));
  EXPECT_EQ(countCalls("timedatectl"), 0u);
  EXPECT_FALSE(fileExists("/tmp/pwned"));

  // A timedatectl that fails is reported as a failure, and nothing counts as
  // changed: a restore then has nothing to do.
  setStubExit("timedatectl", 1);
  EXPECT_EQ(send(timezonePacket(false, "Asia/Tokyo")), kNo);
  EXPECT_TRUE(waitForLog("AA_COMMAND_TIMEZONE_CHANGE failed", kDefaultTimeoutMs, mark));
  setStubExit("timedatectl", 0);
  EXPECT_EQ(send(timezonePacket(true, "")), kYes);
  EXPECT_EQ(countCalls("timedatectl"), 1u);
}

TEST_F(DaemonTest, TimezoneWithoutDefaultIsNotSupported) {
  setDefaultTimezone("");
  ASSERT_TRUE(startDaemon());
  EXPECT_TRUE(waitForLog("[TimezoneWorker] Unable to determine default timezone."));
  EXPECT_EQ(send(makePacket(7)), kNo);
  EXPECT_EQ(send(timezonePacket(false, "Asia/Tokyo")), kNo);
  EXPECT_EQ(send(timezonePacket(true, "")), kNo);
  EXPECT_EQ(countCalls("timedatectl"), 0u);
}

TEST_F(DaemonTest, StoppedWorkerPutsTheTimezoneBack) {
  setDefaultTimezone("Europe/Oslo");
  ASSERT_TRUE(startDaemon());
  EXPECT_EQ(send(timezonePacket(false, "Asia/Tokyo")), kYes);
  ASSERT_TRUE(waitForStubCall("timedatectl [set-timezone] [Asia/Tokyo]"));
  ASSERT_TRUE(stopDaemon());
  EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Europe/Oslo]"));
  EXPECT_EQ(countCalls("timedatectl [set-timezone] [Europe/Oslo]"), 1u);
}

// A crashed worker ends without running destructors; its crash clean-up puts
// the timezone back, and the restarted worker starts with nothing changed.
TEST_F(DaemonTest, CrashedWorkerPutsTheTimezoneBack) {
  setDefaultTimezone("Europe/Oslo");
  ASSERT_TRUE(startDaemon());
  const pid_t worker = workerPid();
  ASSERT_GT(worker, 0);
  EXPECT_EQ(send(timezonePacket(false, "Asia/Tokyo")), kYes);
  ASSERT_TRUE(waitForStubCall("timedatectl [set-timezone] [Asia/Tokyo]"));
  ASSERT_EQ(::kill(worker, SIGSEGV), 0);
  EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Europe/Oslo]"));
  ASSERT_GT(workerPid(10000, worker), 0);
  EXPECT_TRUE(waitUntil([] { return connectControl().valid(); }));
  EXPECT_EQ(send(timezonePacket(true, "")), kYes);
  EXPECT_EQ(countCalls("timedatectl"), 2u);
}

TEST_F(DaemonTest, OpenvpnGetsItsArgumentsAsWordsWithoutAShell) {
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  const std::string args = "--config \"/etc/openvpn/my vpn.ovpn\" --verb 3 ; touch /tmp/pwned $(id) `id` > /tmp/x";
  EXPECT_EQ(send(openvpnPacket(args)), kYes);
  EXPECT_TRUE(waitForStubCall("openvpn [--config] [/etc/openvpn/my vpn.ovpn] [--verb] [3] [;] [touch] [/tmp/pwned] "
                              "[$(id)] [`id`] [>] [/tmp/x]"));
  EXPECT_TRUE(waitForLog(" - execite openvpn cmd: openvpn " + args + " > /dev/null &", kDefaultTimeoutMs, mark));
  sleepMs(300);
  EXPECT_FALSE(fileExists("/tmp/pwned"));
  EXPECT_FALSE(fileExists("/tmp/x"));
  EXPECT_EQ(countCalls("openvpn"), 1u);

  // Empty text: openvpn without arguments.
  EXPECT_EQ(send(openvpnPacket("")), kYes);
  EXPECT_TRUE(waitUntil([] { return countCalls("openvpn") == 2; }));
  EXPECT_TRUE(waitForLog("execite openvpn cmd: openvpn  > /dev/null &", kDefaultTimeoutMs, mark));
  // The started process is reaped: no zombie is left behind.
  EXPECT_TRUE(waitUntil([] { return countProcesses("openvpn") == 0; }));
}

TEST_F(DaemonTest, OpenvpnRefusesTextItCannotSplitOrConvert) {
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  EXPECT_EQ(send(openvpnPacket("--config 'a.ovpn; touch /tmp/pwned")), kNo);
  EXPECT_EQ(send(openvpnPacket("--config a.ovpn \\")), kNo);
  MessagePacket surrogate = makePacket(9);
  ASSERT_TRUE(encodeOpenvpnArguments(&surrogate, std::u32string(1, static_cast<char32_t>(0xD800))));
  EXPECT_EQ(send(surrogate), kNo);
  EXPECT_EQ(send(openvpnPacket(std::string(1024, 'a'))), kNo);
  EXPECT_TRUE(waitForLogCount("AA_COMMAND_OPENVPN_START refused: ", 4, kDefaultTimeoutMs, mark));
  EXPECT_EQ(countLog("execite openvpn cmd", mark), 0u);
  sleepMs(300);
  EXPECT_EQ(countCalls("openvpn"), 0u);
}

TEST_F(DaemonTest, CtlSendsEveryCommand) {
  ASSERT_FALSE(ctlPath().empty());
  // No daemon yet: no reply.
  EXPECT_EQ(WEXITSTATUS(runCtl({"firewall", "supported"}).status), 3);

  setDefaultTimezone("Europe/Oslo");
  ASSERT_TRUE(startDaemon());
  auto exitOf = [](const std::vector<std::string>& args) {
    CommandResult r = runCtl(args);
    EXPECT_TRUE(WIFEXITED(r.status)) << r.output;
    return WEXITSTATUS(r.status);
  };
  CommandResult supported = runCtl({"firewall", "supported"});
  EXPECT_TRUE(supported.ok()) << supported.output;
  EXPECT_NE(supported.output.find("reply: 01 00 00 00 00 00 00 00 00"), std::string::npos) << supported.output;
  EXPECT_EQ(exitOf({"firewall", "enable-on-start"}), 0);
  EXPECT_EQ(exitOf({"raw", "--command", "4"}), 1);
  EXPECT_EQ(exitOf({"raw", "--command", "5"}), 0);

  const size_t mark = syslogMark();
  EXPECT_EQ(exitOf({"firewall", "on", "--servers", "10.9.8.7", "--interface", "tun3", "--allow-lan", "--block-dns",
                    "--change-timezone"}),
            0);
  EXPECT_TRUE(waitForLog("AA_COMMAND_FIREWALL_ON | Kill connect = true | block_ipv6 = false | allow_local_ip = true | "
                         "change_timezone = true | block_dns = true",
                         kDefaultTimeoutMs, mark));
  EXPECT_EQ(exitOf({"firewall", "change", "--servers", "10.9.8.6", "--interface", "tun3", "--block-ipv6"}), 0);
  EXPECT_TRUE(waitForLog("AA_COMMAND_FIREWALL_CHANGE | Kill connect = true | block_ipv6 = true | "
                         "allow_local_ip = false | change_timezone = false | block_dns = false",
                         kDefaultTimeoutMs, mark));
  EXPECT_EQ(exitOf({"firewall", "on", "--servers", "10.9.8.7", "--interface", "tun3;id"}), 1);
  EXPECT_EQ(exitOf({"firewall", "off"}), 0);

  EXPECT_EQ(exitOf({"timezone", "supported"}), 0);
  EXPECT_EQ(exitOf({"timezone", "set", "Asia/Tokyo"}), 0);
  EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Asia/Tokyo]"));
  EXPECT_EQ(exitOf({"timezone", "set", "$(id)"}), 1);
  EXPECT_EQ(exitOf({"timezone", "restore"}), 0);
  EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Europe/Oslo]"));

  // Every word reaches openvpn as it was given, quotes and all.
  EXPECT_EQ(exitOf({"openvpn", "--", "--config", "/etc/openvpn/it's my.ovpn", "--auth-user-pass", "\"x y\"", ""}), 0);
  EXPECT_TRUE(
      waitForStubCall("openvpn [--config] [/etc/openvpn/it's my.ovpn] [--auth-user-pass] [\"x y\"] []"));

  // A package that does not exist is refused by the daemon.
  EXPECT_EQ(exitOf({"install-update", "/tmp/no-such-package.deb"}), 1);

  // Usage errors never reach the daemon.
  const size_t before = syslogMark();
  EXPECT_EQ(exitOf({"firewall", "on", "--servers", "10.0.0.1"}), 2);
  EXPECT_EQ(exitOf({"timezone", "set"}), 2);
  EXPECT_EQ(exitOf({"raw", "--command", "x"}), 2);
  EXPECT_EQ(exitOf({"openvpn", "--config", "a"}), 2);
  EXPECT_EQ(exitOf({"bogus"}), 2);
  EXPECT_EQ(exitOf({"firewall", "on", "--help"}), 0);
  sleepMs(200);
  EXPECT_EQ(countLog("Receive command", before), 0u);
}
