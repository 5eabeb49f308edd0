#include "firewall/firewall.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/io.h"
#include "fake_command_runner.h"
#include "firewall/rule_scripts.h"

// Reaches the single steps, which the daemon only uses through the public
// operations.
struct FireWallTestPeer {
  static bool blockDNS(FireWall& f, bool b) { return f.firewallOnBlockDNS(b); }
  static bool zeph(FireWall& f, bool b) { return f.firewallAllowZeph(b); }
};

namespace {

namespace fs = std::filesystem;
using namespace fwscript;
using Strings = std::vector<std::string>;

std::string makeTempDir() {
  std::string tmpl = ::testing::TempDir() + "firewall_test.XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
  return tmpl;
}

size_t fileCount(const std::string& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// A firewall on a fake runner in a private directory. The runner records,
// for every rule script it runs, "<file name>:<text in the file right then>",
// and the most commands that ever ran at once.
class FireWallTest : public ::testing::Test {
 protected:
  FireWallTest() {
    runner_.setHook([this](const std::string& cmd) {
      int now = ++running_;
      for (int seen = maxOverlap_; now > seen && !maxOverlap_.compare_exchange_weak(seen, now);) {
      }
      if (cmd.starts_with("sh ") && cmd.ends_with(" >/dev/null")) {
        std::string p = cmd.substr(3, cmd.size() - 3 - 11), text = "<missing>";
        readFile(p, &text);
        std::lock_guard<std::mutex> lock(mu_);
        runs_.push_back(fs::path(p).filename().string() + ":" + text);
      }
      --running_;
      return status_.load();
    });
  }
  ~FireWallTest() override {
    fw_.waitIdle();
    std::error_code ec;
    fs::remove_all(tmp_, ec);
  }

  std::string path(std::string_view name) const { return data_ + std::string(name); }
  std::string sh(std::string_view name) const { return "sh " + path(name) + " >/dev/null"; }
  static std::string run(std::string_view name, Lines lines) { return std::string(name.substr(1)) + ":" + join(lines); }
  // The commands (script runs) since the previous call, once all have run.
  Strings newCommands() {
    fw_.waitIdle();
    return since(runner_.commands(), commandMark_);
  }
  Strings newRuns() {
    fw_.waitIdle();
    std::lock_guard<std::mutex> lock(mu_);
    return since(runs_, runMark_);
  }
  static Strings since(const Strings& all, size_t& mark) {
    Strings fresh(all.begin() + static_cast<long>(mark), all.end());
    mark = all.size();
    return fresh;
  }
  void forget() {
    newCommands();
    newRuns();
  }
  // killSwitchOn, ipv6Blocked, localDevicesAllowed, dnsBlocked as 0/1.
  std::string flags() const {
    FireWall::Flags f = fw_.flags();
    return {char('0' + f.killSwitchOn), char('0' + f.ipv6Blocked), char('0' + f.localDevicesAllowed),
            char('0' + f.dnsBlocked)};
  }

  const std::string tmp_ = makeTempDir(), data_ = tmp_ + "/data";
  FakeCommandRunner runner_;
  std::mutex mu_;
  Strings runs_;
  size_t commandMark_ = 0, runMark_ = 0;
  std::atomic<int> running_{0}, maxOverlap_{0}, status_{0};
  FireWall fw_{data_, runner_};
};

TEST(FireWallScriptsTest, FixedTextsHaveTheirSizes) {
  EXPECT_EQ(join(kDnsAllowLines).size(), 364u);
  EXPECT_EQ(join(kDnsBlockLines).size(), 337u);
  EXPECT_EQ(join(kLocalDevicesAddLines).size(), 136u);
  EXPECT_EQ(join(kLocalDevicesDeleteLines).size(), 133u);
  EXPECT_EQ(join(kTunnelNetAddLines).size(), 132u);
  EXPECT_EQ(join(kTunnelNetDeleteLines).size(), 129u);
  EXPECT_EQ(join(kIPv6BlockLines).size(), 74u);
  EXPECT_EQ(join(kOpenFilterTableLines).size(), 80u);
  EXPECT_EQ(join(kOpenIPv4Lines), "iptables -F\niptables -P INPUT ACCEPT\niptables -P FORWARD ACCEPT\n"
                                  "iptables -P OUTPUT ACCEPT\n");
}

TEST(FireWallScriptsTest, KillSwitchScriptSplitsAddressesLikeAStreamReader) {
  const std::string head =
      "iptables -A FORWARD -i lo -j ACCEPT\niptables -A INPUT -i lo -j ACCEPT\niptables -A OUTPUT -o lo -j ACCEPT\n";
  const std::string tail = "#other drop\niptables -P INPUT DROP\niptables -P OUTPUT DROP\niptables -P FORWARD DROP\n";
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

TEST_F(FireWallTest, RuleScriptOutputAndFiles) {
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(FireWallTestPeer::zeph(fw_, false));
  const std::string local = path(kLocalDevicesScript), zeph = path(kTunnelNetScript);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "firewallAllowLocalDevices, is enable: 0\n"
            "Firewall config file: " + local + "\n"
            "****************\n" + join(kLocalDevicesDeleteLines) + "****************\n"
            "[Firewall] Execute cmd: sh " + local + " >/dev/null &\n"
            "Firewall config file: " + zeph + "\n"
            "****************\n" + join(kTunnelNetDeleteLines) + "****************\n"
            "[Firewall] Execute cmd: sh " + zeph + " >/dev/null &\n");
  EXPECT_EQ(newCommands(), (Strings{sh(kLocalDevicesScript), sh(kTunnelNetScript)}));
  EXPECT_EQ(fileCount(data_), 2u) << "no fresh files are left behind";
}

TEST_F(FireWallTest, EachRunExecutesTheTextWrittenForIt) {
  runner_.setDelay(std::chrono::milliseconds(5));
  for (bool block : {false, true, false}) FireWallTestPeer::blockDNS(fw_, block);
  EXPECT_EQ(newRuns(), (Strings{run(kDnsScript, kDnsAllowLines), run(kDnsScript, kDnsBlockLines),
                                run(kDnsScript, kDnsAllowLines)}));
  EXPECT_EQ(maxOverlap_, 1);
}

TEST_F(FireWallTest, MissingDirectoryIsCreatedOnceAndUnwritableDirRunsNothing) {
  const std::string dir = tmp_ + "/made", missing = tmp_ + "/no/such/dir";
  ::testing::internal::CaptureStdout();
  { FireWall fw(dir, runner_); }
  { FireWall fw(dir, runner_); }
  EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);

  // A backup that cannot be written fails the request: nothing else runs.
  FireWall fw(missing, runner_);
  EXPECT_FALSE(fw.firewallOn("198.51.100.7", true, true, true, false));
  fw.waitIdle();
  EXPECT_TRUE(::testing::internal::GetCapturedStdout().starts_with("Firewall create dir for config: " + dir +
                                                                   "\nFirewall create dir for config: " + missing));
  EXPECT_EQ(runner_.commands(), (Strings{"iptables-save > " + missing + "/iptables.rules"}));
}

TEST_F(FireWallTest, SwitchOnAddsDnsAndTakesTheLocalNetworkBackOut) {
  ASSERT_TRUE(fw_.setInterfaceToSkip("tun0"));
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(fw_.firewallOn("198.51.100.7", true, false, false, false));
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.starts_with("firewallOn: tun0\nfirewall change: tun0\n[Firewall] Execute cmd: iptables-save > " +
                              path(kIPv4RulesFile) + "\n"))
      << out;
  EXPECT_EQ(newCommands().size(), 6u) << "the save, then the five scripts below";
  EXPECT_EQ(newRuns(), (Strings{"fw.sh:" + killSwitchScript("tun0", "198.51.100.7"),
                                run(kLocalDevicesScript, kLocalDevicesAddLines),
                                run(kTunnelNetScript, kTunnelNetAddLines), run(kDnsScript, kDnsAllowLines),
                                run(kLocalDevicesScript, kLocalDevicesDeleteLines)}));
  EXPECT_EQ(flags(), "1000");
  EXPECT_TRUE(fw_.firewallOn("198.51.100.9", true, false, false, false));
  EXPECT_TRUE(newCommands().empty()) << "a repeated request runs nothing";
}

TEST_F(FireWallTest, OptionsToggleWhileOnSwitchOffRestoresAndOptionsWaitWhileOff) {
  fw_.firewallOn("198.51.100.7", true, true, false, false);
  forget();
  fw_.firewallChange("198.51.100.7", true, true, true, true);
  EXPECT_EQ(newRuns(), (Strings{run(kDnsScript, kDnsBlockLines), run(kLocalDevicesScript, kLocalDevicesAddLines)}));
  forget();
  fw_.firewallChange("198.51.100.7", true, true, true, true);
  EXPECT_TRUE(newCommands().empty());
  EXPECT_EQ(flags(), "1111");

  // The user's rules come back first, then the added rules are deleted.
  EXPECT_TRUE(fw_.firewallOff());
  EXPECT_EQ(newCommands(), (Strings{"iptables-restore < " + path(kIPv4RulesFile), sh(kLocalDevicesScript),
                                    sh(kTunnelNetScript), "ip6tables-restore < " + path(kIPv6RulesFile)}));
  fw_.firewallChange("", false, false, true, false);
  EXPECT_TRUE(newCommands().empty());
  EXPECT_EQ(flags(), "0001");
}

TEST_F(FireWallTest, RefusesUnsafeAddressesAndInterfaceNamesAsAWhole) {
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(fw_.firewallOn("198.51.100.7;1.2.3.4$(reboot)", true, true, true, false));
  EXPECT_FALSE(fw_.setInterfaceToSkip("tun0;reboot"));
  EXPECT_FALSE(fw_.firewallOn("198.51.100.7", true, true, true, false));
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Firewall] Refused request: invalid server address \"1.2.3.4$(reboot)\"\n"), std::string::npos);
  EXPECT_NE(out.find("[Firewall] Refused interface name \"tun0;reboot\"\n"), std::string::npos);
  EXPECT_TRUE(newCommands().empty());
  EXPECT_EQ(fileCount(data_), 0u);
  EXPECT_EQ(flags(), "0000");

  // Empty elements are still fine, and switching off never needs the name.
  ASSERT_TRUE(fw_.setInterfaceToSkip(""));
  EXPECT_TRUE(fw_.firewallOn("198.51.100.7;;", true, false, true, true));
  EXPECT_FALSE(fw_.setInterfaceToSkip("a-name-far-too-long"));
  forget();
  EXPECT_FALSE(fw_.firewallChange("198.51.100.7", true, false, false, true));
  EXPECT_TRUE(newCommands().empty());
  EXPECT_TRUE(fw_.firewallOff());
  EXPECT_EQ(flags(), "0001");
}

TEST_F(FireWallTest, FailedSaveLeavesNoOlderBackup) {
  ASSERT_TRUE(replaceFileAtomically(path(kIPv4RulesFile), "*filter\n:INPUT DROP [0:0]\nCOMMIT\n", 0600));
  status_ = 1 << 8;
  fw_.firewallOn("", true, false, false, false);
  EXPECT_FALSE(fs::exists(path(kIPv4RulesFile)));
}

TEST_F(FireWallTest, RepliesDoNotWaitForRuleScripts) {
  std::promise<void> release;
  std::shared_future<void> held = release.get_future().share();
  runner_.setHook([held](const std::string& cmd) {
    if (cmd.starts_with("sh ")) held.wait();
    return 0;
  });
  EXPECT_TRUE(fw_.firewallOn("", true, false, true, true)) << "returns while its scripts are held";
  release.set_value();
}

TEST_F(FireWallTest, ConcurrentRequestsNeverOverlapCommands) {
  runner_.setDelay(std::chrono::milliseconds(1));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        fw_.setInterfaceToSkip("tun" + std::to_string(t));
        if ((i + t) % 3 == 0) {
          fw_.firewallOff();
        } else {
          fw_.firewallOn("198.51.100." + std::to_string(i), true, i % 2 == 0, i % 4 == 0, i % 3 == 0);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  // Every script run read one of the texts the firewall writes, whole.
  for (const std::string& r : newRuns()) {
    EXPECT_TRUE(r.ends_with("iptables -P FORWARD DROP\n") || r.ends_with("-j ACCEPT\n")) << r;
  }
  EXPECT_EQ(maxOverlap_, 1);
}

}  // namespace
