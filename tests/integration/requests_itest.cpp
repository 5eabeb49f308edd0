// Every request command against the real daemon, through the control port and
// through tundrafoxctl: reply bytes, log lines, and what the stubs received.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/daemon_fixture.h"

using namespace itest;
namespace fs = std::filesystem;

namespace {

using Reply = std::array<unsigned char, kMessageReplySize>;
const Reply kYes = {1, 0, 0, 0, 0, 0, 0, 0, 0};
const Reply kNo = {0, 0, 0, 0, 0, 0, 0, 0, 0};

Reply send(const MessagePacket& packet) {
  auto reply = exchangeRecord(packet);
  EXPECT_TRUE(reply.has_value()) << "no reply";
  return reply.value_or(Reply{0xEE});
}
// Each builds its record with the message encoder and sends it.
Reply sendFirewall(int32_t command, const FirewallRequest& r) {
  MessagePacket packet{};
  return encodeFirewallRequest(&packet, command, r) ? send(packet) : Reply{0xEE};
}
Reply sendTimezone(bool restore, const std::string& name) {
  MessagePacket packet{};
  return encodeTimezoneRequest(&packet, {restore, name}) ? send(packet) : Reply{0xEE};
}
Reply sendOpenvpn(const std::u32string& units) {
  MessagePacket packet{};
  return encodeOpenvpnArguments(&packet, units) ? send(packet) : Reply{0xEE};
}

// Waits for a log line after `from` that holds `text`.
bool logged(const std::string& text, size_t from) { return waitForLog(text, kDefaultTimeoutMs, from); }

bool iptablesHas(const std::string& text) { return runCommand("iptables-save").output.find(text) != std::string::npos; }

// The daemon reads its default timezone when it starts; "" leaves it none.
void setDefaultTimezone(const std::string& name) {
  for (const char* file : {"/etc/timezone", "/etc/sysconfig/clock", "/etc/TIMEZONE"}) ::unlink(file);
  if (!name.empty()) std::ofstream("/etc/timezone") << name << "\n";
}

}  // namespace

TEST_F(DaemonTest, FirewallCommandsDriveTheKillSwitchAndRefuseUnsafeText) {
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  EXPECT_EQ(sendFirewall(1, {"10.0.0.1", "tun0;touch /tmp/pwned", true, true, true, false, true}), kNo);
  EXPECT_EQ(sendFirewall(1, {"10.0.0.1;$(touch /tmp/pwned)", "tun0", true, true, true, false, true}), kNo);
  EXPECT_TRUE(waitForLogCount("refused: ", 2, kDefaultTimeoutMs, mark));
  sleepMs(300);
  EXPECT_FALSE(fs::exists("/tmp/pwned"));
  EXPECT_FALSE(iptablesHas("DROP") || iptablesHas("10.0.0.1"));

  EXPECT_EQ(sendFirewall(1, {"10.20.30.40;10.20.30.41", "tun7", true, false, true, true, false}), kYes);
  EXPECT_TRUE(logged("AA_COMMAND_FIREWALL_ON | Kill connect = true | block_ipv6 = false | allow_local_ip = true | "
                     "change_timezone = true | block_dns = false", mark));
  EXPECT_TRUE(waitUntil([] { return iptablesHas("10.20.30.40") && iptablesHas("tun7"); }));
  EXPECT_EQ(sendFirewall(3, {"10.20.30.50", "tun8", true, true, false, false, true}), kYes);
  EXPECT_TRUE(logged("AA_COMMAND_FIREWALL_CHANGE | Kill connect = true | block_ipv6 = true | "
                     "allow_local_ip = false | change_timezone = false | block_dns = true", mark));
  EXPECT_TRUE(waitUntil([] { return runCommand("ip6tables-save").output.find("DROP") != std::string::npos; }));
  EXPECT_EQ(send(makePacket(2)), kYes);
  EXPECT_TRUE(logged(" - AA_COMMAND_FIREWALL_OFF", mark));
  EXPECT_TRUE(waitUntil([] { return !iptablesHas("10.20.30.40"); }));
  EXPECT_EQ(send(makePacket(2)), kYes);  // off again: still 1
}

// Unsafe names and a failing timedatectl answer 0 and change nothing. A change
// is put back by a restore, by a crashed worker's clean-up (its successor then
// has nothing to restore) and by a stopping daemon.
TEST_F(DaemonTest, TimezoneRequestsRunTimedatectl) {
  setDefaultTimezone("Europe/Oslo");
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  const std::vector<std::string> names = {"", "; touch /tmp/pwned", "$(touch /tmp/pwned)", "`touch /tmp/pwned`",
                                          "UTC\"; touch /tmp/pwned; \"", "a\nb", "../../etc/shadow"};
  for (const std::string& name : names) EXPECT_EQ(sendTimezone(false, name), kNo) << name;
  EXPECT_TRUE(waitForLogCount("AA_COMMAND_TIMEZONE_CHANGE refused: the timezone name", names.size(),
                              kDefaultTimeoutMs, mark));
  EXPECT_FALSE(fs::exists("/tmp/pwned"));
  setStubExit("timedatectl", 1);
  EXPECT_EQ(sendTimezone(false, "America/Lima"), kNo);
  EXPECT_TRUE(logged("AA_COMMAND_TIMEZONE_CHANGE failed", mark));
  setStubExit("timedatectl", 0);
  EXPECT_EQ(sendTimezone(true, ""), kYes);  // nothing counts as changed: nothing to restore

  EXPECT_EQ(send(makePacket(7)), kYes);
  EXPECT_TRUE(logged(" - AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED", mark));
  EXPECT_EQ(sendTimezone(false, "Asia/Tokyo"), kYes);
  EXPECT_TRUE(logged(" - AA_COMMAND_TIMEZONE_CHANGE | restore timezone = false | timezone = Asia/Tokyo", mark));
  EXPECT_TRUE(logged("[TimezoneWorker] Execute cmd: timedatectl set-timezone \"Asia/Tokyo\"", mark));
  EXPECT_EQ(sendTimezone(true, "America/Lima"), kYes);  // the text is ignored
  EXPECT_TRUE(logged("AA_COMMAND_TIMEZONE_CHANGE | restore timezone = true | timezone = America/Lima", mark));

  const pid_t worker = workerPid();
  ASSERT_GT(worker, 0);
  EXPECT_EQ(sendTimezone(false, "Asia/Tokyo"), kYes);
  ASSERT_EQ(::kill(worker, SIGSEGV), 0);
  EXPECT_TRUE(waitUntil([] { return stubCalls().size() == 5; }));
  ASSERT_GT(workerPid(10000, worker), 0);
  EXPECT_TRUE(waitUntil([] { return connectControl().valid(); }));
  EXPECT_EQ(sendTimezone(true, ""), kYes);
  EXPECT_EQ(sendTimezone(false, "Asia/Tokyo"), kYes);
  ASSERT_TRUE(stopDaemon());
  EXPECT_TRUE(waitUntil([] { return stubCalls().size() == 7; }));
  const std::string tokyo = "timedatectl [set-timezone] [Asia/Tokyo]";
  const std::string oslo = "timedatectl [set-timezone] [Europe/Oslo]";
  EXPECT_EQ(stubCalls(), (std::vector<std::string>{"timedatectl [set-timezone] [America/Lima]", tokyo, oslo, tokyo,
                                                   oslo, tokyo, oslo}));
}

TEST_F(DaemonTest, OpenvpnGetsItsArgumentsAsWordsWithoutAShell) {
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  // A text that cannot be split is refused before anything runs.
  EXPECT_EQ(sendOpenvpn(U"--config 'a.ovpn; touch /tmp/pwned"), kNo);
  EXPECT_TRUE(logged("AA_COMMAND_OPENVPN_START refused: ", mark));
  const std::string args = "--config \"/etc/openvpn/my vpn.ovpn\" --verb 3 ; touch /tmp/pwned $(id) `id` > /tmp/x";
  EXPECT_EQ(sendOpenvpn(std::u32string(args.begin(), args.end())), kYes);
  EXPECT_TRUE(waitForStubCall("openvpn [--config] [/etc/openvpn/my vpn.ovpn] [--verb] [3] [;] [touch] [/tmp/pwned] "
                              "[$(id)] [`id`] [>] [/tmp/x]"));
  EXPECT_TRUE(logged(" - execite openvpn cmd: openvpn " + args + " > /dev/null &", mark));
  EXPECT_EQ(sendOpenvpn(U""), kYes);  // openvpn without arguments
  EXPECT_TRUE(logged(" - execite openvpn cmd: openvpn  > /dev/null &", mark));
  // The started processes are reaped, and nothing else ever ran.
  EXPECT_TRUE(waitUntil([] { return stubCalls().size() == 2 && countProcesses("openvpn") == 0; }));
  sleepMs(300);
  EXPECT_FALSE(fs::exists("/tmp/pwned") || fs::exists("/tmp/x"));
  EXPECT_EQ(stubCalls().size(), 2u);
}

// The control tool turns its command line into the record (the settings
// lines show what it set) and the reply into its exit status. Without a
// default timezone, timezone requests are not supported and run nothing.
TEST_F(DaemonTest, CtlSendsEveryCommandToADaemonWithoutDefaultTimezone) {
  ASSERT_FALSE(ctlPath().empty());
  auto exitOf = [](const std::vector<std::string>& args) {
    CommandResult r = runCtl(args);
    EXPECT_TRUE(WIFEXITED(r.status)) << r.output;
    return WEXITSTATUS(r.status);
  };
  EXPECT_EQ(exitOf({"firewall", "supported"}), 3);  // no daemon yet: no reply
  setDefaultTimezone("");
  ASSERT_TRUE(startDaemon());
  EXPECT_TRUE(waitForLog("[TimezoneWorker] Unable to determine default timezone."));
  const size_t mark = syslogMark();
  CommandResult supported = runCtl({"firewall", "enable-on-start"});
  EXPECT_TRUE(supported.ok() && supported.output.find("reply: 01 00 00 00 00 00 00 00 00") != std::string::npos)
      << supported.output;
  EXPECT_EQ(exitOf({"raw", "--command", "-1"}), 1);  // not recognised: a zero reply
  EXPECT_TRUE(logged(" - Receive command: -1", mark));
  EXPECT_EQ(logSeverity(" - Receive command: 6", mark), 6);  // LOG_INFO
  EXPECT_EQ(exitOf({"firewall", "change", "--servers", "10.9.8.7", "--interface", "tun3", "--allow-lan", "--block-dns",
                    "--change-timezone", "--block-ipv6", "--no-kill-switch"}), 0);
  EXPECT_TRUE(logged("AA_COMMAND_FIREWALL_CHANGE | Kill connect = false | block_ipv6 = true | "
                     "allow_local_ip = true | change_timezone = true | block_dns = true", mark));
  EXPECT_EQ(exitOf({"firewall", "on", "--servers", "10.9.8.7", "--interface", "tun3;id"}), 1);
  EXPECT_TRUE(logged("AA_COMMAND_FIREWALL_ON | Kill connect = true | block_ipv6 = false | "
                     "allow_local_ip = false | change_timezone = false | block_dns = false", mark));
  EXPECT_EQ(exitOf({"timezone", "set", "Asia/Tokyo"}), 1);
  EXPECT_TRUE(logged("AA_COMMAND_TIMEZONE_CHANGE | restore timezone = false | timezone = Asia/Tokyo", mark));
  // Every word reaches openvpn as it was given, quotes and all.
  EXPECT_EQ(exitOf({"openvpn", "--", "--config", "/etc/openvpn/it's my.ovpn", "--auth-user-pass", "\"x y\"", ""}), 0);
  EXPECT_TRUE(waitForStubCall("openvpn [--config] [/etc/openvpn/it's my.ovpn] [--auth-user-pass] [\"x y\"] []"));
  EXPECT_EQ(stubCalls().size(), 1u);  // timedatectl never ran
  EXPECT_EQ(exitOf({"install-update", "/tmp/no-such-package.deb"}), 1);  // refused by the daemon
  // Usage errors never reach the daemon.
  const size_t before = syslogMark();
  EXPECT_EQ(exitOf({"firewall", "on", "--servers", "10.0.0.1"}), 2);
  EXPECT_EQ(exitOf({"openvpn", "a"}), 2);
  sleepMs(200);
  EXPECT_EQ(countLog("Receive command", before), 0u);
}
