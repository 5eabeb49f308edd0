// Every request command against the real daemon, through the control port and
// through tundrafoxctl: reply bytes, log lines, and what the stubs received.
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

using Reply = std::array<unsigned char, kMessageReplySize>;
const Reply kYes = {1}, kNo = {0};

Reply send(const MessagePacket& packet) { return exchangeRecord(packet).value_or(Reply{0xEE}); }
Reply sendTimezone(bool restore, const std::string& name) {
  MessagePacket p;
  return encodeTimezoneRequest(&p, {restore, name}) ? send(p) : Reply{0xEE};
}
Reply sendOpenvpn(const std::string& args) {
  MessagePacket p;
  return encodeOpenvpnArguments(&p, std::u32string(args.begin(), args.end())) ? send(p) : Reply{0xEE};
}

bool logged(const std::string& text, size_t from) { return waitForLog(text, kDefaultTimeoutMs, from); }
bool iptablesHas(const std::string& text) { return runCommand("iptables-save").output.find(text) != std::string::npos; }

// Sends `sig` to the worker; true once a successor serves.
bool replaceWorker(int sig) {
  const pid_t old = workerPid();
  return old > 0 && ::kill(old, sig) == 0 && workerPid(10000, old) > 0 && exchangeRecord(makePacket(0), 10000);
}

// tundrafoxctl's exit status.
int ctl(const std::vector<std::string>& args) {
  const CommandResult r = runCtl(args);
  return WIFEXITED(r.status) ? WEXITSTATUS(r.status) : -1;
}

}  // namespace

// Client text reaches iptables and openvpn only as data: unsafe firewall text is refused whole, openvpn gets its
// text as words that no shell sees. Texts keep each unit's low byte (0x141 is 'A'); any non-zero flag byte is true.
TEST_F(DaemonTest, FirewallAndOpenvpnRequestsTakeClientTextOnlyAsData) {
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  EXPECT_EQ(ctl({"firewall", "on", "--servers", "10.0.0.1", "--interface", "tun0;touch /tmp/pwned"}), 1);
  EXPECT_EQ(ctl({"firewall", "on", "--servers", "10.0.0.1;$(touch /tmp/pwned)", "--interface", "tun0"}), 1);
  EXPECT_EQ(ctl({"firewall", "on", "--servers", "10.0.0.1", "--interface", "+"}), 1);  // every interface
  std::string names = "10.0.0.1;10.0.0.0/8";  // numeric ones are not limited, 17 host names are too many
  for (int i = 0; i < 17; ++i) names += ";host" + std::to_string(i) + ".example";
  EXPECT_EQ(ctl({"firewall", "on", "--servers", names, "--interface", "tun0"}), 1);
  EXPECT_EQ(sendOpenvpn("--config 'a.ovpn; touch /tmp/pwned"), kNo);  // cannot be split: nothing runs
  EXPECT_TRUE(waitForLogCount("refused: ", 5, kDefaultTimeoutMs, mark));
  EXPECT_EQ(countLog("Refused request: 17 server addresses are host names, at most 16 may be", mark), 1u);
  EXPECT_EQ(runCommand("iptables -S").output, "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
  // The log line keeps format sequences as they are.
  const std::string args = "--config \"/etc/openvpn/my vpn.ovpn\" ; touch /tmp/pwned $(id) `id` >/tmp/x %s%d%n";
  EXPECT_EQ(sendOpenvpn(args), kYes);
  EXPECT_TRUE(waitForStubCall("openvpn [--config] [/etc/openvpn/my vpn.ovpn] [;] [touch] [/tmp/pwned] "
                              "[$(id)] [`id`] [>/tmp/x] [%s%d%n]"));
  EXPECT_TRUE(logged(" - execite openvpn cmd: openvpn " + args + " > /dev/null &", mark));
  EXPECT_EQ(sendOpenvpn(""), kYes);  // openvpn without arguments
  // The started processes are reaped, and nothing else ever ran.
  EXPECT_TRUE(waitUntil([] { return stubCalls().size() == 2 && countProcesses("openvpn") == 0; }));
  sleepMs(300);
  EXPECT_TRUE(stubCalls().size() == 2 && !std::filesystem::exists("/tmp/pwned") && !std::filesystem::exists("/tmp/x"));

  MessagePacket on;
  ASSERT_TRUE(encodeFirewallRequest(&on, 1, {"10.20.30.40;10.20.30.41", "tun?", false, false, true, true, false}));
  ASSERT_TRUE(putFixed32(on.bytes, kMessagePacketSize, kInterfaceToSkipOffset + 3 * kWideUnitSize, 0x141) &&
              putFixed8(on.bytes, kMessagePacketSize, kKillSwitchOffset, 2));
  EXPECT_EQ(send(on), kYes);
  EXPECT_TRUE(logged("AA_COMMAND_FIREWALL_ON | Kill connect = true | block_ipv6 = false | allow_local_ip = true | "
                     "change_timezone = true | block_dns = false", mark));
  EXPECT_TRUE(waitUntil([] { return iptablesHas("10.20.30.40") && iptablesHas("tunA"); }));
  EXPECT_EQ(send(makePacket(2)), kYes);
  EXPECT_TRUE(waitUntil([] { return !iptablesHas("10.20.30.40"); }));
  EXPECT_EQ(send(makePacket(2)), kYes);  // off again: still 1
}

// Names that are not zone names and a failing timedatectl answer 0 and change nothing. A change is put back by a
// restore, a crashed worker's clean-up and, after a SIGKILLed worker, by its successor's restore, crash or stop.
TEST_F(DaemonTest, TimezoneRequestsRunTimedatectlAndEveryChangeIsPutBack) {
  std::ofstream("/etc/timezone") << "Europe/Oslo\n";  // read when the daemon starts
  ASSERT_TRUE(startDaemon());
  for (const std::string name : {"", "-h", "--help", "-Europe/Oslo", "/Europe/Oslo", "Europe//Oslo", "Europe/",
                                 "1Europe", "Europe/./Oslo", "Europe/../Oslo", "_x", "+x", "a\nb",
                                 "$(touch /tmp/pwned)", "`touch /tmp/pwned`", "UTC\"; touch /tmp/pwned; \""})
    EXPECT_EQ(sendTimezone(false, name), kNo) << name;
  auto set = [](const std::string& name) { return "timedatectl [set-timezone] [" + name + "]"; };
  std::vector<std::string> calls = {set("America/Lima")};
  setStubExit("timedatectl", 1);
  EXPECT_EQ(sendTimezone(false, "America/Lima"), kNo);
  setStubExit("timedatectl", 0);
  EXPECT_EQ(sendTimezone(true, ""), kYes);  // a failed change is none: nothing to restore
  EXPECT_EQ(send(makePacket(7)), kYes);
  for (const char* name : {"UTC", "Etc/GMT+5", "America/Port-au-Prince", "America/Argentina/Buenos_Aires"}) {
    EXPECT_EQ(sendTimezone(false, name), kYes) << name;
    calls.push_back(set(name));
  }
  EXPECT_EQ(sendTimezone(true, "America/Lima"), kYes);  // the text is ignored
  calls.push_back(set("Europe/Oslo"));
  EXPECT_FALSE(std::filesystem::exists("/tmp/pwned"));

  const std::pair<bool, std::string> steps[] = {{false, "crash"}, {true, "restore"}, {true, "crash"}, {true, "stop"}};
  for (const auto& [killFirst, how] : steps) {
    SCOPED_TRACE(how + (killFirst ? " after a SIGKILL" : ""));
    EXPECT_EQ(sendTimezone(false, "Asia/Tokyo"), kYes);
    calls.insert(calls.end(), {set("Asia/Tokyo"), set("Europe/Oslo")});
    ASSERT_TRUE(!killFirst || replaceWorker(SIGKILL));
    // After a crash the successor has nothing to restore.
    EXPECT_TRUE(how == "restore" ? sendTimezone(true, "") == kYes
                : how == "crash" ? replaceWorker(SIGSEGV) && sendTimezone(true, "") == kYes
                                 : stopDaemon());
    EXPECT_TRUE(waitUntil([&] { return stubCalls() == calls; })) << testing::PrintToString(stubCalls());
  }
}

// The control tool turns its command line into the record (the settings lines show what it set) and the reply into
// its exit status. Without a default timezone, timezone requests are not supported and run nothing.
TEST_F(DaemonTest, CtlSendsEveryCommandToADaemonWithoutDefaultTimezone) {
  EXPECT_EQ(ctl({"firewall", "supported"}), 3);  // no daemon yet: no reply
  ASSERT_TRUE(runCommand("rm -f /etc/timezone /etc/sysconfig/clock /etc/TIMEZONE").ok());
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  EXPECT_EQ(ctl({"firewall", "enable-on-start"}), 0);
  EXPECT_EQ(ctl({"firewall", "change", "--servers", "10.9.8.7", "--interface", "tun3", "--allow-lan", "--block-dns",
                 "--change-timezone", "--block-ipv6", "--no-kill-switch"}), 0);
  EXPECT_TRUE(logged("AA_COMMAND_FIREWALL_CHANGE | Kill connect = false | block_ipv6 = true | "
                     "allow_local_ip = true | change_timezone = true | block_dns = true", mark));
  EXPECT_EQ(ctl({"firewall", "on", "--servers", "10.9.8.7", "--interface", "tun3;id"}), 1);  // a zero reply
  EXPECT_TRUE(logged("AA_COMMAND_FIREWALL_ON | Kill connect = true | block_ipv6 = false | "
                     "allow_local_ip = false | change_timezone = false | block_dns = false", mark));
  EXPECT_EQ(ctl({"timezone", "set", "Asia/Tokyo"}), 1);
  // Every word reaches openvpn as it was given, quotes and all.
  EXPECT_EQ(ctl({"openvpn", "--", "--config", "/etc/openvpn/it's my.ovpn", "--auth-user-pass", "\"x y\"", ""}), 0);
  EXPECT_TRUE(waitForStubCall("openvpn [--config] [/etc/openvpn/it's my.ovpn] [--auth-user-pass] [\"x y\"] []"));
  EXPECT_EQ(stubCalls().size(), 1u);  // timedatectl never ran
  EXPECT_EQ(ctl({"firewall", "on", "--servers", "10.0.0.1"}), 2);  // usage errors
  EXPECT_EQ(ctl({"openvpn", "a"}), 2);
}
