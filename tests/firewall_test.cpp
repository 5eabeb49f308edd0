// The kill switch's logic over a fake runner; what the real tables hold is
// shown with the real tools in integration/firewall_itest.cpp.
#include "firewall/firewall.h"

#include <utility>

#include "base/io.h"
#include "fake_command_runner.h"
#include "spine_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace fwscript;
using Strings = std::vector<std::string>;

TEST(FireWallScriptsTest, KillSwitchScriptAndRequestTextValidation) {
  const std::string head = join(kKillSwitchHead), tail = join(kKillSwitchTail);
  EXPECT_EQ(killSwitchScript("", ""), head + tail);
  std::string script = head + "iptables -A FORWARD -i tun0 -j ACCEPT\niptables -A INPUT -i tun0 -j ACCEPT\n"
                              "iptables -A OUTPUT -o tun0 -j ACCEPT\n";
  for (std::string a : {"198.51.100.7", "203.0.113.0/24"})
    script += "iptables -A OUTPUT -d " + a + " -j ACCEPT\niptables -A INPUT -s " + a + " -j ACCEPT\n";
  EXPECT_EQ(killSwitchScript("tun0", ";198.51.100.7;;203.0.113.0/24;"), script + tail);  // empty elements add nothing
  auto expect = [](bool (*valid)(const std::string&), bool want, std::initializer_list<const char*> texts) {
    for (const char* text : texts) EXPECT_EQ(valid(text), want) << text;
  };
  expect(FireWall::isValidServerAddress, true, {"", "198.51.100.7", "203.0.113.0/24", "2001:db8::1", "vpn-3.a.net"});
  expect(FireWall::isValidServerAddress, false, {" 198.51.100.7", "1.2.3.4 -j DROP", "$(reboot)", "`id`", "a|b", "a&b",
                                                 "a\nb", "a'b", "a_b", "\xe9", "a>b", "a*"});
  expect(FireWall::isValidInterfaceName, true, {"", "tun0", "tun+", "wg-home_1.2", "eth0@if3", "ppp:1+", "abcdefghijklmno"});
  expect(FireWall::isValidInterfaceName, false,
         {"abcdefghijklmnop", "+", "tun0;reboot", "tun 0", "a/b", "$IFS", "tun0\n", "t\xfe"});
}

// A firewall on a fake runner whose every command takes a little while, so later ones are issued before earlier
// ones have run. It records each command (a rule script as "<file name>:<its text as it ran>") and any overlap.
class FireWallTest : public ::testing::Test {
 protected:
  FireWallTest() {
    runner_.hook = [this](std::string& line) {
      if (++running_ > 1) overlapped_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::string file = line.substr(3, line.find(" >/dev/null") - 3), text;
      if (line.starts_with("sh ") && readFile(file, &text)) line = fs::path(file).filename().string() + ":" + text;
      --running_;
      return status_.load();
    };
  }
  std::string path(std::string_view name) const { return data_ + std::string(name); }
  static std::string script(std::string_view name, Lines text) { return std::string(name.substr(1)) + ":" + join(text); }
  Strings ran() {  // what ran since the previous call, once all has run
    fw_.waitIdle();
    const Strings all = runner_.commands();
    return Strings(all.begin() + std::exchange(seen_, all.size()), all.end());
  }
  std::string flags() const {  // killSwitchOn, ipv6Blocked, localDevicesAllowed, dnsBlocked
    const FireWall::Flags f = fw_.flags();
    return {"01"[f.killSwitchOn], "01"[f.ipv6Blocked], "01"[f.localDevicesAllowed], "01"[f.dnsBlocked]};
  }

  ScopedTempDir tmp_;
  const std::string data_ = tmp_.file("data");
  FakeCommandRunner runner_;
  size_t seen_ = 0;
  std::atomic<int> running_{0}, status_{0};
  std::atomic<bool> overlapped_{false};
  FireWall fw_{data_, runner_};
};

// Each run reads its own text, though fw_local_devs.sh is written twice (add, then delete) before its first run.
// Options change only while on. A refused request writes, runs and changes nothing; the switch-off never needs
// the refused interface name.
TEST_F(FireWallTest, StateMachineRunsEachScriptAsWrittenAndRefusesWholeRequests) {
  EXPECT_FALSE(fw_.firewallOn("198.51.100.7;1.2.3.4$(reboot)", true, true, true, false));
  EXPECT_TRUE(ran().empty() && fs::is_empty(data_));
  EXPECT_EQ(fs::status(data_).permissions(), fs::perms::owner_all);  // created for root alone
  ASSERT_TRUE(fw_.setInterfaceToSkip("tun0"));
  EXPECT_TRUE(fw_.firewallOn("198.51.100.7;;", true, false, false, false));
  EXPECT_EQ(ran(), (Strings{"iptables-save > " + path(kIPv4RulesFile), "fw.sh:" + killSwitchScript("tun0", "198.51.100.7"),
                            script(kLocalDevicesScript, kLocalDevicesAddLines), script(kTunnelNetScript, kTunnelNetAddLines),
                            script(kDnsScript, kDnsAllowLines), script(kLocalDevicesScript, kLocalDevicesDeleteLines)}));
  EXPECT_EQ(flags(), "1000");
  EXPECT_EQ(std::distance(fs::directory_iterator(data_), {}), 5) << "a fresh file was left behind";
  EXPECT_TRUE(fw_.firewallOn("198.51.100.9", true, false, false, false) && ran().empty()) << "a repeat runs nothing";

  EXPECT_TRUE(fw_.firewallChange("198.51.100.7", true, true, true, true));
  EXPECT_EQ(ran(), (Strings{script(kDnsScript, kDnsBlockLines), script(kLocalDevicesScript, kLocalDevicesAddLines),
                            "ip6tables-save > " + path(kIPv6RulesFile), "ip6tables-restore < " + path(kIPv6BlockFile)}));
  EXPECT_TRUE(fw_.firewallChange("198.51.100.7", true, true, true, true));
  EXPECT_FALSE(fw_.firewallChange("198.51.100.7;a b", true, false, false, false));
  EXPECT_FALSE(fw_.setInterfaceToSkip("tun0;reboot"));
  EXPECT_FALSE(fw_.firewallChange("198.51.100.7", true, false, false, false));
  EXPECT_TRUE(ran().empty());
  EXPECT_EQ(flags(), "1111");
  // The user's rules come back first, then the added rules are deleted.
  EXPECT_TRUE(fw_.firewallOff());
  EXPECT_EQ(ran(), (Strings{"iptables-restore < " + path(kIPv4RulesFile),
                            script(kLocalDevicesScript, kLocalDevicesDeleteLines),
                            script(kTunnelNetScript, kTunnelNetDeleteLines), "ip6tables-restore < " + path(kIPv6RulesFile)}));
  EXPECT_EQ(fw_.applyRequest(false, "tun0", "", false, false, true, false), FirewallOutcome::kDone);
  EXPECT_TRUE(ran().empty());
  EXPECT_EQ(flags(), "0001");

  // A failed save leaves no older backup behind to be restored later.
  ASSERT_TRUE(replaceFileAtomically(path(kIPv4RulesFile), "*filter\n:INPUT DROP [0:0]\nCOMMIT\n", 0600));
  status_ = 1 << 8;
  fw_.firewallOn("", true, false, false, false);
  EXPECT_FALSE(fs::exists(path(kIPv4RulesFile)));
}

TEST_F(FireWallTest, ConcurrentRequestsNeverOverlapCommands) {
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i)
        fw_.applyRequest(true, "tun" + std::to_string(t), "198.51.100." + std::to_string(i), (i + t) % 3 != 0,
                         i % 2 == 0, i % 4 == 0, i % 3 == 0);
    });
  threads.clear();  // joins them
  // Every script run read one of the texts the firewall writes, whole.
  for (const std::string& r : ran())
    EXPECT_TRUE(r.find(".sh:") == std::string::npos || r.ends_with("DROP\n") || r.ends_with("-j ACCEPT\n")) << r;
  EXPECT_FALSE(overlapped_);
}

}  // namespace
