// The kill switch's logic over a fake runner; what the real tables hold is
// shown with the real tools in integration/firewall_itest.cpp.
#include "firewall/firewall.h"

#include <mutex>
#include <set>
#include <utility>

#include "base/io.h"
#include "fake_command_runner.h"
#include "spine_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace fwscript;
using Strings = std::vector<std::string>;

TEST(FireWallScriptsTest, KillSwitchScriptSplitsAddressesLikeAStreamReader) {
  const std::string head = join(kKillSwitchHead), tail = join(kKillSwitchTail);
  auto allow = [](const std::string& a) {
    return "iptables -A OUTPUT -d " + a + " -j ACCEPT\niptables -A INPUT -s " + a + " -j ACCEPT\n";
  };
  EXPECT_EQ(killSwitchScript("", ""), head + tail);
  const std::string full = head +
                           "iptables -A FORWARD -i tun0 -j ACCEPT\niptables -A INPUT -i tun0 -j ACCEPT\n"
                           "iptables -A OUTPUT -o tun0 -j ACCEPT\n" +
                           allow("198.51.100.7") + allow("203.0.113.0/24") + tail;
  EXPECT_EQ(killSwitchScript("tun0", "198.51.100.7;203.0.113.0/24"), full);
  // Empty elements, a trailing ";" among them, add nothing.
  EXPECT_EQ(killSwitchScript("tun0", "198.51.100.7;203.0.113.0/24;"), full);
  EXPECT_EQ(killSwitchScript("", ";a;;b"), head + allow("a") + allow("b") + tail);
}

TEST(FireWallScriptsTest, RequestTextValidation) {
  auto expect = [](bool (*valid)(const std::string&), bool want, std::initializer_list<const char*> texts) {
    for (const char* text : texts) EXPECT_EQ(valid(text), want) << text;
  };
  expect(FireWall::isValidServerAddress, true,
         {"", "198.51.100.7", "203.0.113.0/24", "2001:db8::1", "vpn-3.example.net"});
  expect(FireWall::isValidServerAddress, false, {" 198.51.100.7", "1.2.3.4 -j DROP", "$(reboot)", "`id`", "a|b", "a&b",
                                                 "a\nb", "a'b", "a_b", "\xe9", "a>b", "a*"});
  expect(FireWall::isValidInterfaceName, true, {"", "tun0", "wg-home_1.2", "eth0@if3", "ppp:1+", "abcdefghijklmno"});
  expect(FireWall::isValidInterfaceName, false,
         {"abcdefghijklmnop", "tun0;reboot", "tun 0", "a/b", "$IFS", "tun0\n", "t\xfe"});
}

// A firewall on a fake runner in a private directory. Every command takes a
// little while, so later ones are issued before earlier ones have run. The
// runner records each command, a rule script as "<file name>:<text in the
// file as it ran>", and whether two ever ran at once.
class FireWallTest : public ::testing::Test {
 protected:
  FireWallTest() {
    runner_.hook = [this](const std::string& cmd) {
      if (++running_ > 1) overlapped_ = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::string line = cmd, file = cmd.substr(3, cmd.find(" >/dev/null") - 3), text;
      if (cmd.starts_with("sh ") && readFile(file, &text)) line = fs::path(file).filename().string() + ":" + text;
      --running_;
      std::lock_guard<std::mutex> lock(mu_);
      ran_.push_back(line);
      return status_.load();
    };
  }

  std::string path(std::string_view name) const { return data_ + std::string(name); }
  static std::string script(std::string_view name, Lines lines) { return std::string(name.substr(1)) + ":" + join(lines); }
  // What ran since the previous call, once all has run.
  Strings ran() {
    fw_.waitIdle();
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(ran_, {});
  }
  // killSwitchOn, ipv6Blocked, localDevicesAllowed, dnsBlocked as 0/1.
  std::string flags() const {
    FireWall::Flags f = fw_.flags();
    return {char('0' + f.killSwitchOn), char('0' + f.ipv6Blocked), char('0' + f.localDevicesAllowed),
            char('0' + f.dnsBlocked)};
  }

  ScopedTempDir tmp_;
  const std::string data_ = tmp_.file("data");
  FakeCommandRunner runner_;
  std::mutex mu_;
  Strings ran_;
  std::atomic<int> running_{0}, status_{0};
  std::atomic<bool> overlapped_{false};
  FireWall fw_{data_, runner_};
};

// Each run reads the text written for it, though fw_local_devs.sh is written
// twice (add, then delete: the local network was not asked for) before its
// first run. Options change only while the kill switch is on.
TEST_F(FireWallTest, StateMachineRunsEachScriptAsWrittenForIt) {
  EXPECT_EQ(fs::status(data_).permissions(), fs::perms::owner_all);  // created for root alone
  ASSERT_TRUE(fw_.setInterfaceToSkip("tun0"));
  EXPECT_TRUE(fw_.firewallOn("198.51.100.7", true, false, false, false));
  EXPECT_EQ(ran(), (Strings{"iptables-save > " + path(kIPv4RulesFile), "fw.sh:" + killSwitchScript("tun0", "198.51.100.7"),
                            script(kLocalDevicesScript, kLocalDevicesAddLines), script(kTunnelNetScript, kTunnelNetAddLines),
                            script(kDnsScript, kDnsAllowLines), script(kLocalDevicesScript, kLocalDevicesDeleteLines)}));
  EXPECT_EQ(flags(), "1000");
  std::set<std::string> files;  // no fresh file is left behind
  for (const fs::directory_entry& e : fs::directory_iterator(data_)) files.insert(e.path().filename());
  EXPECT_EQ(files, (std::set<std::string>{"fw.sh", "fw_dns.sh", "fw_local_devs.sh", "fw_zeph.sh", "iptables.rules"}));
  EXPECT_TRUE(fw_.firewallOn("198.51.100.9", true, false, false, false));
  EXPECT_TRUE(ran().empty()) << "a repeated request runs nothing";

  EXPECT_TRUE(fw_.firewallChange("198.51.100.7", true, true, true, true));
  EXPECT_EQ(ran(), (Strings{script(kDnsScript, kDnsBlockLines), script(kLocalDevicesScript, kLocalDevicesAddLines),
                            "ip6tables-save > " + path(kIPv6RulesFile), "ip6tables-restore < " + path(kIPv6BlockFile)}));
  EXPECT_TRUE(fw_.firewallChange("198.51.100.7", true, true, true, true));
  EXPECT_TRUE(ran().empty());
  EXPECT_EQ(flags(), "1111");
  // The user's rules come back first, then the added rules are deleted.
  EXPECT_TRUE(fw_.firewallOff());
  EXPECT_EQ(ran(), (Strings{"iptables-restore < " + path(kIPv4RulesFile),
                            script(kLocalDevicesScript, kLocalDevicesDeleteLines),
                            script(kTunnelNetScript, kTunnelNetDeleteLines), "ip6tables-restore < " + path(kIPv6RulesFile)}));
  fw_.firewallChange("", false, false, true, false);
  EXPECT_TRUE(ran().empty());
  EXPECT_EQ(flags(), "0001");
  EXPECT_FALSE(overlapped_);
}

// Integration shows first requests refused whole; here, nothing is written
// either, a refusal while on changes nothing, and the switch-off never needs
// the refused name.
TEST_F(FireWallTest, RefusesUnsafeAddressesAndInterfaceNamesAsAWhole) {
  EXPECT_FALSE(fw_.firewallOn("198.51.100.7;1.2.3.4$(reboot)", true, true, true, false));
  EXPECT_TRUE(ran().empty() && fs::is_empty(data_));
  EXPECT_TRUE(fw_.firewallOn("198.51.100.7;;", true, false, true, true));  // empty elements are fine
  ran();
  EXPECT_FALSE(fw_.firewallChange("198.51.100.7;a b", true, true, false, false));
  EXPECT_FALSE(fw_.setInterfaceToSkip("tun0;reboot"));
  EXPECT_FALSE(fw_.firewallChange("198.51.100.7", true, true, false, false));
  EXPECT_TRUE(ran().empty());
  EXPECT_EQ(flags(), "1011");
  EXPECT_TRUE(fw_.firewallOff());
  EXPECT_EQ(flags(), "0001");
}

TEST_F(FireWallTest, FailedSaveLeavesNoOlderBackup) {
  ASSERT_TRUE(replaceFileAtomically(path(kIPv4RulesFile), "*filter\n:INPUT DROP [0:0]\nCOMMIT\n", 0600));
  status_ = 1 << 8;
  fw_.firewallOn("", true, false, false, false);
  EXPECT_FALSE(fs::exists(path(kIPv4RulesFile)));
}

TEST_F(FireWallTest, ConcurrentRequestsNeverOverlapCommands) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        fw_.setInterfaceToSkip("tun" + std::to_string(t));
        if ((i + t) % 3 == 0) fw_.firewallOff();
        else fw_.firewallOn("198.51.100." + std::to_string(i), true, i % 2 == 0, i % 4 == 0, i % 3 == 0);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  // Every script run read one of the texts the firewall writes, whole.
  for (const std::string& r : ran()) {
    EXPECT_TRUE(r.find(".sh:") == std::string::npos || r.ends_with("DROP\n") || r.ends_with("-j ACCEPT\n")) << r;
  }
  EXPECT_FALSE(overlapped_);
}

}  // namespace
