#include "firewall/firewall.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/io.h"
#include "fake_command_runner.h"
#include "firewall/rule_scripts.h"

// Reaches the single steps, which the daemon only uses through the public
// operations.
struct FireWallTestPeer {
  static bool onBlockIPv4(FireWall& f, const std::string& a) { return f.firewallOnBlockIPv4(a); }
  static bool offBlockIPv4(FireWall& f) { return f.firewallOffBlockIPv4(); }
  static bool blockDNS(FireWall& f, bool b) { return f.firewallOnBlockDNS(b); }
  static bool localDevices(FireWall& f, bool b) { return f.firewallAllowLocalDevices(b); }
  static bool zeph(FireWall& f, bool b) { return f.firewallAllowZeph(b); }
  static bool onBlockIPv6(FireWall& f) { return f.firewallOnBlockIPv6(); }
  static bool offBlockIPv6(FireWall& f) { return f.firewallOffBlockIPv6(); }
  static bool dumpIPv4(FireWall& f) { return f.dumpUserIPv4Settings(); }
};

namespace {

namespace fs = std::filesystem;
using namespace fwscript;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = ::testing::TempDir() + "firewall_test.XXXXXX";
    char* p = ::mkdtemp(tmpl.data());
    if (p == nullptr) std::abort();
    path_ = p;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) {
  std::string s;
  return readFile(path, &s) ? s : std::string("<missing>");
}

// Records, for every rule script the queue runs, the script's name and the
// text it found in the file at that moment, and checks that no two
// commands ever run at once.
class Recorder {
 public:
  explicit Recorder(FakeCommandRunner& runner) {
    runner.setHook([this](const std::string& cmd) { return onCommand(cmd); });
  }
  std::vector<std::string> runs() const {
    std::lock_guard<std::mutex> lock(mu_);
    return runs_;
  }
  int maxOverlap() const { return maxOverlap_; }
  // Status returned for commands that start with `prefix` (others: 0).
  void failCommandsStartingWith(std::string prefix) {
    std::lock_guard<std::mutex> lock(mu_);
    failPrefixes_.push_back(std::move(prefix));
  }
  // Text that a save command writes into its target file.
  void setSavedText(std::string text) {
    std::lock_guard<std::mutex> lock(mu_);
    savedText_ = std::move(text);
  }

 private:
  int onCommand(const std::string& cmd) {
    int now = ++running_;
    int seen = maxOverlap_.load();
    while (now > seen && !maxOverlap_.compare_exchange_weak(seen, now)) {
    }
    int status = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      const std::string sh = "sh ", tail = " >/dev/null";
      if (cmd.starts_with(sh) && cmd.ends_with(tail)) {
        std::string path = cmd.substr(sh.size(), cmd.size() - sh.size() - tail.size());
        runs_.push_back(fs::path(path).filename().string() + ":" + slurp(path));
      }
      for (const std::string& p : failPrefixes_) {
        if (cmd.starts_with(p)) status = 1 << 8;
      }
      size_t redirect = cmd.find("-save > ");
      if (status == 0 && redirect != std::string::npos && savedText_) {
        std::string target = cmd.substr(redirect + 8);
        replaceFileAtomically(target, *savedText_, 0600);
      }
    }
    --running_;
    return status;
  }

  mutable std::mutex mu_;
  std::vector<std::string> runs_;
  std::vector<std::string> failPrefixes_;
  std::optional<std::string> savedText_;
  std::atomic<int> running_{0};
  std::atomic<int> maxOverlap_{0};
};

class FireWallTest : public ::testing::Test {
 protected:
  FireWallTest() : data_(tmp_.path() + "/data"), fw_(data_, runner_) {}
  ~FireWallTest() override { fw_.waitIdle(); }

  std::string path(std::string_view name) const { return data_ + std::string(name); }
  std::string sh(std::string_view name) const { return "sh " + path(name) + " >/dev/null"; }
  std::string run(std::string_view name, Lines lines) const {
    return std::string(name.substr(1)) + ":" + join(lines);
  }
  std::vector<std::string> commands() {
    fw_.waitIdle();
    return runner_.commands();
  }
  std::vector<std::string> runs() {
    fw_.waitIdle();
    return rec_.runs();
  }
  void forget() {
    fw_.waitIdle();
    mark_ = runner_.commands().size();
    runMark_ = rec_.runs().size();
  }
  std::vector<std::string> newCommands() {
    auto all = commands();
    return {all.begin() + static_cast<long>(mark_), all.end()};
  }
  std::vector<std::string> newRuns() {
    auto all = runs();
    return {all.begin() + static_cast<long>(runMark_), all.end()};
  }
  void expectFlags(bool ks, bool v6, bool local, bool dns) {
    FireWall::Flags f = fw_.flags();
    EXPECT_EQ(f.killSwitchOn, ks);
    EXPECT_EQ(f.ipv6Blocked, v6);
    EXPECT_EQ(f.localDevicesAllowed, local);
    EXPECT_EQ(f.dnsBlocked, dns);
  }

  TempDir tmp_;
  std::string data_;
  FakeCommandRunner runner_;
  Recorder rec_{runner_};
  FireWall fw_;
  size_t mark_ = 0, runMark_ = 0;
};

// ---- Texts -----------------------------------------------------------------

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

TEST(FireWallScriptsTest, KillSwitchScriptLines) {
  const std::string head =
      "iptables -A FORWARD -i lo -j ACCEPT\niptables -A INPUT -i lo -j ACCEPT\niptables -A OUTPUT -o lo -j ACCEPT\n";
  const std::string tail = "#other drop\niptables -P INPUT DROP\niptables -P OUTPUT DROP\niptables -P FORWARD DROP\n";
  EXPECT_EQ(killSwitchScript("", ""), head + tail);

  const std::string full = killSwitchScript("tun0", "198.51.100.7;203.0.113.0/24");
  EXPECT_EQ(full, head +
                      "iptables -A FORWARD -i tun0 -j ACCEPT\n"
                      "iptables -A INPUT -i tun0 -j ACCEPT\n"
                      "iptables -A OUTPUT -o tun0 -j ACCEPT\n"
                      "iptables -A OUTPUT -d 198.51.100.7 -j ACCEPT\n"
                      "iptables -A INPUT -s 198.51.100.7 -j ACCEPT\n"
                      "iptables -A OUTPUT -d 203.0.113.0/24 -j ACCEPT\n"
                      "iptables -A INPUT -s 203.0.113.0/24 -j ACCEPT\n" +
                      tail);
  EXPECT_EQ(killSwitchScript("tun0", "198.51.100.7;203.0.113.0/24;"), full);
  EXPECT_EQ(killSwitchScript("", "a;;b"), head +
                                              "iptables -A OUTPUT -d a -j ACCEPT\niptables -A INPUT -s a -j ACCEPT\n"
                                              "iptables -A OUTPUT -d  -j ACCEPT\niptables -A INPUT -s  -j ACCEPT\n"
                                              "iptables -A OUTPUT -d b -j ACCEPT\niptables -A INPUT -s b -j ACCEPT\n" +
                                              tail);
}

TEST(FireWallScriptsTest, SplitsServerAddressesLikeAStreamReader) {
  using V = std::vector<std::string>;
  EXPECT_EQ(splitServerAddresses(""), V{});
  EXPECT_EQ(splitServerAddresses("a"), V{"a"});
  EXPECT_EQ(splitServerAddresses("a;"), V{"a"});
  EXPECT_EQ(splitServerAddresses(";a"), (V{"", "a"}));
  EXPECT_EQ(splitServerAddresses("a;;b"), (V{"a", "", "b"}));
  EXPECT_EQ(splitServerAddresses(";"), V{""});
  EXPECT_EQ(splitServerAddresses(" a ;b"), (V{" a ", "b"}));
}

TEST(FireWallScriptsTest, ServerAddressValidation) {
  for (const char* ok : {"", "198.51.100.7", "203.0.113.0/24", "2001:db8::1", "vpn-3.example.net"}) {
    EXPECT_TRUE(FireWall::isValidServerAddress(ok)) << ok;
  }
  for (const char* bad : {" 198.51.100.7", "1.2.3.4 -j DROP", "$(reboot)", "`id`", "a|b", "a&b", "a\nb", "a'b",
                          "a_b", "\xe9", "a>b", "a*"}) {
    EXPECT_FALSE(FireWall::isValidServerAddress(bad)) << bad;
  }
}

TEST(FireWallScriptsTest, InterfaceNameValidation) {
  for (const char* ok : {"", "tun0", "wg-home_1.2", "eth0@if3", "ppp:1+", "abcdefghijklmno"}) {
    EXPECT_TRUE(FireWall::isValidInterfaceName(ok)) << ok;
  }
  for (const char* bad : {"abcdefghijklmnop", "tun0;reboot", "tun 0", "a/b", "$IFS", "tun0\n", "t\xfe"}) {
    EXPECT_FALSE(FireWall::isValidInterfaceName(bad)) << bad;
  }
}

// ---- Rule-script steps -----------------------------------------------------

TEST_F(FireWallTest, RuleScriptOutputAndFile) {
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(FireWallTestPeer::zeph(fw_, false));
  std::string out = ::testing::internal::GetCapturedStdout();
  const std::string local = path(kLocalDevicesScript), zeph = path(kTunnelNetScript);
  EXPECT_EQ(out, "firewallAllowLocalDevices, is enable: 0\n"
                 "Firewall config file: " + local + "\n"
                 "****************\n" + join(kLocalDevicesDeleteLines) + "****************\n"
                 "[Firewall] Execute cmd: sh " + local + " >/dev/null &\n"
                 "Firewall config file: " + zeph + "\n"
                 "****************\n" + join(kTunnelNetDeleteLines) + "****************\n"
                 "[Firewall] Execute cmd: sh " + zeph + " >/dev/null &\n");
  EXPECT_EQ(commands(), (std::vector<std::string>{sh(kLocalDevicesScript), sh(kTunnelNetScript)}));
  EXPECT_EQ(slurp(local).size(), 133u);
  EXPECT_EQ(slurp(zeph).size(), 129u);
  // No fresh files are left behind once the scripts have run.
  EXPECT_EQ(std::distance(fs::directory_iterator(data_), fs::directory_iterator()), 2);
}

TEST_F(FireWallTest, EachRunExecutesTheTextWrittenForIt) {
  runner_.setDelay(std::chrono::milliseconds(5));
  FireWallTestPeer::blockDNS(fw_, false);
  FireWallTestPeer::blockDNS(fw_, true);
  FireWallTestPeer::blockDNS(fw_, false);
  EXPECT_EQ(runs(), (std::vector<std::string>{run(kDnsScript, kDnsAllowLines), run(kDnsScript, kDnsBlockLines),
                                              run(kDnsScript, kDnsAllowLines)}));
  EXPECT_EQ(rec_.maxOverlap(), 1);
  EXPECT_EQ(slurp(path(kDnsScript)).size(), 364u);
}

TEST_F(FireWallTest, CreatedFilesFollowTheUmask) {
  struct stat st;
  ASSERT_EQ(::stat(data_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  mode_t old = ::umask(027);
  FireWallTestPeer::blockDNS(fw_, true);
  FireWallTestPeer::onBlockIPv6(fw_);
  fw_.waitIdle();
  ::umask(old);
  ASSERT_EQ(::stat(path(kDnsScript).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat(path(kIPv6BlockFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST(FireWallDataDirTest, MissingDirectoryIsCreatedOnceAndUnwritableDirRunsNoScript) {
  TempDir tmp;
  FakeCommandRunner runner;
  const std::string dir = tmp.path() + "/made";
  ::testing::internal::CaptureStdout();
  { FireWall fw(dir, runner); }
  { FireWall fw(dir, runner); }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Firewall create dir for config: " + dir + "\n");
  EXPECT_TRUE(fs::is_directory(dir));

  const std::string missing = tmp.path() + "/no/such/dir";
  ::testing::internal::CaptureStdout();
  FireWall fw(missing, runner);
  EXPECT_FALSE(FireWallTestPeer::onBlockIPv4(fw, "198.51.100.7"));
  EXPECT_TRUE(FireWallTestPeer::blockDNS(fw, false));
  EXPECT_FALSE(FireWallTestPeer::onBlockIPv6(fw));
  EXPECT_TRUE(FireWallTestPeer::offBlockIPv6(fw));
  fw.waitIdle();
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("****************"), std::string::npos);
  EXPECT_EQ(out.find("Execute cmd"), std::string::npos);
  EXPECT_TRUE(runner.commands().empty());
}

// ---- State machine ---------------------------------------------------------

TEST_F(FireWallTest, SwitchOnWithoutLocalDevicesOrDnsBlock) {
  ASSERT_TRUE(fw_.setInterfaceToSkip("tun0"));
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(fw_.firewallOn("198.51.100.7", true, false, false, false));
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.starts_with("firewallOn: tun0\nfirewall change: tun0\n[Firewall] Execute cmd: iptables-save > " +
                              path(kIPv4RulesFile) + "\n"))
      << out;
  EXPECT_EQ(commands(), (std::vector<std::string>{"iptables-save > " + path(kIPv4RulesFile), sh(kKillSwitchScript),
                                                  sh(kLocalDevicesScript), sh(kTunnelNetScript), sh(kDnsScript),
                                                  sh(kLocalDevicesScript)}));
  // DNS gets its accept rules; the local network is closed again: the
  // 192.168.0.0/16 rules are added once and deleted once.
  EXPECT_EQ(runs(), (std::vector<std::string>{
                        "fw.sh:" + killSwitchScript("tun0", "198.51.100.7"),
                        run(kLocalDevicesScript, kLocalDevicesAddLines), run(kTunnelNetScript, kTunnelNetAddLines),
                        run(kDnsScript, kDnsAllowLines), run(kLocalDevicesScript, kLocalDevicesDeleteLines)}));
  expectFlags(true, false, false, false);

  forget();
  EXPECT_TRUE(fw_.firewallOn("198.51.100.9", true, false, false, false));
  EXPECT_TRUE(newCommands().empty()) << "a repeated request runs nothing";
}

TEST_F(FireWallTest, SwitchOnWithLocalDevicesAndDnsBlocked) {
  EXPECT_TRUE(fw_.firewallOn("", true, false, true, true));
  EXPECT_EQ(commands(), (std::vector<std::string>{"iptables-save > " + path(kIPv4RulesFile), sh(kKillSwitchScript),
                                                  sh(kLocalDevicesScript), sh(kTunnelNetScript)}));
  expectFlags(true, false, true, true);
}

TEST_F(FireWallTest, OptionsToggleWhileOnAndAreIgnoredWhileOff) {
  fw_.firewallOn("198.51.100.7", true, false, false, false);
  forget();
  fw_.firewallChange("198.51.100.7", true, false, false, true);
  EXPECT_EQ(newRuns(), std::vector<std::string>{run(kDnsScript, kDnsBlockLines)});
  fw_.firewallChange("198.51.100.7", true, false, true, true);
  EXPECT_EQ(newRuns(), (std::vector<std::string>{run(kDnsScript, kDnsBlockLines),
                                                 run(kLocalDevicesScript, kLocalDevicesAddLines)}));
  expectFlags(true, false, true, true);
  forget();
  fw_.firewallChange("198.51.100.7", true, false, true, true);
  EXPECT_TRUE(newCommands().empty());

  fw_.firewallOff();
  expectFlags(false, false, false, true);
  forget();
  fw_.firewallChange("", false, false, true, false);
  EXPECT_TRUE(newCommands().empty());
  expectFlags(false, false, false, true);
}

TEST_F(FireWallTest, EverySwitchOnTreatsDnsTheSame) {
  // A session that blocked DNS leaves dnsBlocked true across the switch-off;
  // the next switch-on must still add the DNS rules when DNS is allowed.
  fw_.firewallOn("", true, false, false, true);
  fw_.firewallOff();
  forget();
  fw_.firewallOn("", true, false, false, false);
  std::vector<std::string> r = newRuns();
  EXPECT_NE(std::find(r.begin(), r.end(), run(kDnsScript, kDnsAllowLines)), r.end());
  expectFlags(true, false, false, false);

  fw_.firewallOff();
  forget();
  fw_.firewallOn("", true, false, false, true);
  r = newRuns();
  EXPECT_EQ(std::count_if(r.begin(), r.end(), [](const std::string& s) { return s.starts_with("fw_dns.sh"); }), 0);
  expectFlags(true, false, false, true);
}

TEST_F(FireWallTest, SwitchOffRestoresThenDeletesAndUnblocksIPv6) {
  fw_.firewallOn("198.51.100.7", true, true, true, false);
  forget();
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(fw_.firewallOff());
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.starts_with("firewallOff, is enable: 1\nfirewall change: \n")) << out;
  EXPECT_EQ(newCommands(), (std::vector<std::string>{"iptables-restore < " + path(kIPv4RulesFile),
                                                     sh(kLocalDevicesScript), sh(kTunnelNetScript),
                                                     "ip6tables-restore < " + path(kIPv6RulesFile)}));
  EXPECT_EQ(newRuns(), (std::vector<std::string>{run(kLocalDevicesScript, kLocalDevicesDeleteLines),
                                                 run(kTunnelNetScript, kTunnelNetDeleteLines)}));
  expectFlags(false, false, false, false);

  forget();
  fw_.firewallOff();
  EXPECT_TRUE(newCommands().empty());
}

TEST_F(FireWallTest, IPv6BlockIsIndependentOfTheKillSwitch) {
  fw_.firewallChange("", false, true, false, false);
  EXPECT_EQ(commands(), (std::vector<std::string>{"ip6tables-save > " + path(kIPv6RulesFile),
                                                  "ip6tables-restore < " + path(kIPv6BlockFile)}));
  EXPECT_EQ(slurp(path(kIPv6BlockFile)), join(kIPv6BlockLines));
  expectFlags(false, true, false, false);
  forget();
  fw_.firewallChange("", false, false, false, false);
  EXPECT_EQ(newCommands(), std::vector<std::string>{"ip6tables-restore < " + path(kIPv6RulesFile)});
  expectFlags(false, false, false, false);
}

TEST_F(FireWallTest, ResetOpensBothTablesAndKeepsFlags) {
  fw_.firewallOn("", true, true, false, true);
  forget();
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(fw_.reset());
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.starts_with("firewallOff, is enable: 1\n")) << out;
  EXPECT_NE(out.find("firewallOffBlockIPv6, is enable: 1\n"), std::string::npos);
  // reset returns once both tables are applied: no waitIdle needed.
  EXPECT_EQ(runner_.commands().size() - mark_, 2u);
  EXPECT_EQ(newCommands(), (std::vector<std::string>{sh(kOpenScript), "ip6tables-restore < " + path(kIPv6OpenFile)}));
  EXPECT_EQ(slurp(path(kIPv6OpenFile)), join(kOpenFilterTableLines));
  expectFlags(true, true, false, true);
}

// ---- Refusals --------------------------------------------------------------

TEST_F(FireWallTest, RefusesUnsafeAddressesAndInterfaceNamesAsAWhole) {
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(fw_.firewallOn("198.51.100.7;1.2.3.4$(reboot)", true, true, true, false));
  EXPECT_FALSE(fw_.setInterfaceToSkip("tun0;reboot"));
  EXPECT_FALSE(fw_.firewallOn("198.51.100.7", true, true, true, false));
  EXPECT_FALSE(fw_.firewallChange("198.51.100.7", false, true, false, false));
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[Firewall] Refused request: invalid server address \"1.2.3.4$(reboot)\"\n"), std::string::npos);
  EXPECT_NE(out.find("[Firewall] Refused interface name \"tun0;reboot\"\n"), std::string::npos);
  EXPECT_TRUE(commands().empty());
  EXPECT_EQ(std::distance(fs::directory_iterator(data_), fs::directory_iterator()), 0);
  expectFlags(false, false, false, false);

  // Empty elements are still fine, and switching off never needs the name.
  ASSERT_TRUE(fw_.setInterfaceToSkip(""));
  EXPECT_TRUE(fw_.firewallOn("198.51.100.7;;", true, false, true, true));
  EXPECT_FALSE(fw_.setInterfaceToSkip("a-name-far-too-long"));
  forget();
  EXPECT_FALSE(fw_.firewallChange("198.51.100.7", true, false, false, true));
  EXPECT_TRUE(newCommands().empty());
  EXPECT_TRUE(fw_.firewallOff());
  expectFlags(false, false, false, true);
}

// ---- Failures --------------------------------------------------------------

TEST_F(FireWallTest, FailedRestoresOpenTheTablesInstead) {
  rec_.failCommandsStartingWith("iptables-restore < ");
  rec_.failCommandsStartingWith("ip6tables-restore < " + path(kIPv6RulesFile));
  fw_.firewallOn("", true, true, true, true);
  forget();
  fw_.firewallOff();
  EXPECT_EQ(newCommands(), (std::vector<std::string>{"iptables-restore < " + path(kIPv4RulesFile), sh(kOpenScript),
                                                     sh(kLocalDevicesScript), sh(kTunnelNetScript),
                                                     "ip6tables-restore < " + path(kIPv6RulesFile),
                                                     "ip6tables-restore < " + path(kIPv6OpenFile)}));
  EXPECT_EQ(newRuns()[0], run(kOpenScript, kOpenIPv4Lines));
  expectFlags(false, false, false, true);
}

TEST_F(FireWallTest, FailedSaveLeavesNoOlderBackup) {
  ASSERT_TRUE(replaceFileAtomically(path(kIPv4RulesFile), "*filter\n:INPUT DROP [0:0]\nCOMMIT\n", 0600));
  rec_.failCommandsStartingWith("iptables-save");
  EXPECT_FALSE(FireWallTestPeer::dumpIPv4(fw_));
  EXPECT_FALSE(fs::exists(path(kIPv4RulesFile)));
}

TEST_F(FireWallTest, BackupWithoutFilterTableGetsAnOpenOne) {
  const std::string natOnly = "*nat\n:PREROUTING ACCEPT [0:0]\nCOMMIT\n";
  rec_.setSavedText(natOnly);
  EXPECT_TRUE(FireWallTestPeer::dumpIPv4(fw_));
  EXPECT_EQ(slurp(path(kIPv4RulesFile)), natOnly + join(kOpenFilterTableLines));

  const std::string withFilter = "*filter\n:INPUT DROP [0:0]\nCOMMIT\n";
  rec_.setSavedText(withFilter);
  EXPECT_TRUE(FireWallTestPeer::dumpIPv4(fw_));
  EXPECT_EQ(slurp(path(kIPv4RulesFile)), withFilter);
}

// ---- Ordering and concurrency ----------------------------------------------

TEST_F(FireWallTest, RepliesDoNotWaitForRuleScripts) {
  std::mutex m;
  std::condition_variable cv;
  bool release = false;
  runner_.setHook([&](const std::string& cmd) {
    if (cmd.starts_with("sh ")) {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return release; });
    }
    return 0;
  });
  // Held in the script: the operation still returns.
  EXPECT_TRUE(fw_.firewallOn("", true, false, true, true));
  EXPECT_TRUE(fw_.killSwitchOn());
  {
    std::lock_guard<std::mutex> lk(m);
    release = true;
  }
  cv.notify_all();
  fw_.waitIdle();
}

TEST_F(FireWallTest, QuickOnOffOnRunsInIssueOrderWithoutOverlap) {
  runner_.setDelay(std::chrono::milliseconds(10));
  fw_.firewallOn("198.51.100.7", true, false, false, false);
  fw_.firewallOff();
  fw_.firewallOn("203.0.113.5", true, false, true, true);
  EXPECT_EQ(rec_.maxOverlap(), 1);
  std::vector<std::string> c = commands();
  ASSERT_FALSE(c.empty());
  // The last request's commands come last: its save, then its scripts.
  std::vector<std::string> tail(c.end() - 4, c.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"iptables-save > " + path(kIPv4RulesFile), sh(kKillSwitchScript),
                                            sh(kLocalDevicesScript), sh(kTunnelNetScript)}));
  std::vector<std::string> r = runs();
  EXPECT_EQ(r[r.size() - 3], "fw.sh:" + killSwitchScript("", "203.0.113.5"));
  expectFlags(true, false, true, true);
}

TEST_F(FireWallTest, ConcurrentRequestsNeverOverlapCommands) {
  runner_.setDelay(std::chrono::milliseconds(1));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 10; ++i) {
        if ((i + t) % 3 == 0) {
          fw_.firewallOff();
        } else {
          fw_.setInterfaceToSkip("tun" + std::to_string(t));
          fw_.firewallOn("198.51.100." + std::to_string(i), true, i % 2 == 0, i % 4 == 0, i % 3 == 0);
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  fw_.waitIdle();
  EXPECT_EQ(rec_.maxOverlap(), 1);
  // Every script run read one of the texts the firewall writes, whole.
  for (const std::string& r : runs()) {
    EXPECT_TRUE(r.ends_with("iptables -P FORWARD DROP\n") || r.ends_with("-j ACCEPT\n")) << r;
  }
}

TEST(CommandQueueTest, DestructionDropsPendingScriptsAndTheirFiles) {
  TempDir tmp;
  FakeCommandRunner runner;
  std::mutex m;
  std::condition_variable cv;
  bool release = false, started = false;
  runner.setHook([&](const std::string&) {
    std::unique_lock<std::mutex> lk(m);
    started = true;
    cv.notify_all();
    cv.wait(lk, [&] { return release; });
    return 0;
  });
  std::string fresh = tmp.path() + "/pending.new";
  {
    CommandQueue q(runner);
    ASSERT_TRUE(replaceFileAtomically(fresh, "true\n", 0600));
    std::thread fg([&] { EXPECT_EQ(q.runForeground("first"), 0); });
    {
      std::unique_lock<std::mutex> lk(m);
      cv.wait(lk, [&] { return started; });
    }
    ASSERT_TRUE(q.enqueueScript(fresh, tmp.path() + "/pending"));
    std::thread releaser([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      std::lock_guard<std::mutex> lk(m);
      release = true;
      cv.notify_all();
    });
    fg.join();
    // Destroyed while the script may still be queued: it is either run or
    // dropped with its file, never left half-done.
    releaser.join();
  }
  EXPECT_FALSE(fs::exists(fresh));
}

}  // namespace
