// The kill switch against the real iptables tools, inside the sandbox's own
// network namespace. Most tests drive a FireWall object directly (real
// command runner, a private data directory); the start-up reset is checked
// through the daemon.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon/command_runner.h"
#include "daemon/io.h"
#include "firewall/firewall.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

// A tools dump without its comment lines and with every counter zeroed, so
// that two dumps of the same rules compare equal.
std::string normalized(const std::string& dump) {
  static const std::regex counters(R"(\[\d+:\d+\])");
  std::istringstream in(dump);
  std::string line, out;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    out += std::regex_replace(line, counters, "[0:0]") + "\n";
  }
  return out;
}

std::string run(const std::string& cmd) {
  CommandResult r = runCommand(cmd);
  EXPECT_TRUE(r.ok()) << cmd << ":\n" << r.output;
  return r.output;
}

std::string saveV4() { return normalized(run("iptables-save")); }
std::string saveV6() { return normalized(run("ip6tables-save")); }
std::string rulesV4() { return run("iptables -S"); }
std::string rulesV6() { return run("ip6tables -S"); }

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

// A user's own firewall: rules, a policy and a user-defined chain in the
// filter table, plus a nat rule that must survive too.
void setUpUserRules() {
  run("iptables -N USERCHAIN && iptables -A USERCHAIN -p tcp --dport 2222 -j RETURN && "
      "iptables -A INPUT -s 203.0.113.9 -j USERCHAIN && iptables -A OUTPUT -d 203.0.113.10 -j REJECT && "
      "iptables -P FORWARD DROP && iptables -t nat -A POSTROUTING -s 203.0.113.0/24 -j MASQUERADE");
  run("ip6tables -N USER6 && ip6tables -A USER6 -j RETURN && ip6tables -A INPUT -s 2001:db8:9::/48 -j USER6 && "
      "ip6tables -P FORWARD DROP");
}

class FirewallITest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (HasFatalFailure()) return;
    ::umask(027);
    char tmpl[] = "/tmp/fwdata.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = std::string(tmpl) + "/data";
    fw_ = std::make_unique<FireWall>(dir_, realCommandRunner());
  }
  void TearDown() override {
    if (fw_) fw_->waitIdle();
    fw_.reset();
    DaemonTest::TearDown();
  }

  std::string dir_;
  std::unique_ptr<FireWall> fw_;
};

const std::vector<std::string> kKillSwitchRules = {
    "-P INPUT DROP\n",
    "-P FORWARD DROP\n",
    "-P OUTPUT DROP\n",
    "-A INPUT -i lo -j ACCEPT\n",
    "-A INPUT -i tun7 -j ACCEPT\n",
    "-A INPUT -s 192.0.2.2/32 -j ACCEPT\n",
    "-A INPUT -s 198.51.100.0/24 -j ACCEPT\n",
    "-A FORWARD -i lo -j ACCEPT\n",
    "-A FORWARD -i tun7 -j ACCEPT\n",
    "-A OUTPUT -o lo -j ACCEPT\n",
    "-A OUTPUT -o tun7 -j ACCEPT\n",
    "-A OUTPUT -d 192.0.2.2/32 -j ACCEPT\n",
    "-A OUTPUT -d 198.51.100.0/24 -j ACCEPT\n",
    "-A INPUT -s 10.10.1.0/30 -j ACCEPT\n",
    "-A OUTPUT -d 10.10.1.0/30 -j ACCEPT\n",
};

TEST_F(FirewallITest, OnChangeOffLeavesTheUserFirewallExactlyAsItWas) {
  setUpUserRules();
  const std::string before4 = saveV4(), before6 = saveV6();

  ASSERT_TRUE(fw_->setInterfaceToSkip("tun7"));
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2;198.51.100.0/24", true, false, false, false));
  fw_->waitIdle();
  std::string on = rulesV4();
  for (const std::string& rule : kKillSwitchRules) EXPECT_EQ(count(on, rule), 1u) << rule << on;
  // The user's rules stay ahead of the kill switch's.
  EXPECT_LT(on.find("-A INPUT -s 203.0.113.9/32 -j USERCHAIN"), on.find("-A INPUT -i lo -j ACCEPT"));
  // DNS allowed: the four accept rules and the two counting DHCP rules.
  EXPECT_EQ(count(on, "--dport 53 -j ACCEPT"), 2u) << on;
  EXPECT_EQ(count(on, "--sport 53 -j ACCEPT"), 2u) << on;
  EXPECT_EQ(count(on, "--src-range 0.0.0.0-255.255.255.255"), 1u) << on;
  // Local network not asked for: no 192.168.0.0/16 rule is left.
  EXPECT_EQ(count(on, "192.168.0.0/16"), 0u) << on;

  // Options while on: DNS blocked, local network allowed (exactly once).
  ASSERT_TRUE(fw_->firewallChange("192.0.2.2", true, false, true, true));
  fw_->waitIdle();
  std::string changed = rulesV4();
  EXPECT_EQ(count(changed, "--dport 53"), 0u) << changed;
  EXPECT_EQ(count(changed, "--sport 68"), 0u) << changed;
  EXPECT_EQ(count(changed, "-A INPUT -s 192.168.0.0/16 -j ACCEPT"), 1u) << changed;
  EXPECT_EQ(count(changed, "-A OUTPUT -d 192.168.0.0/16 -j ACCEPT"), 1u) << changed;
  ASSERT_TRUE(fw_->firewallChange("192.0.2.2", true, false, false, false));
  fw_->waitIdle();
  changed = rulesV4();
  EXPECT_EQ(count(changed, "--dport 53 -j ACCEPT"), 2u) << changed;
  EXPECT_EQ(count(changed, "192.168.0.0/16"), 0u) << changed;

  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  EXPECT_EQ(saveV4(), before4);
  EXPECT_EQ(saveV6(), before6);
  FireWall::Flags f = fw_->flags();
  EXPECT_FALSE(f.killSwitchOn);
  EXPECT_FALSE(f.localDevicesAllowed);

  // A second round saves afresh: rules the user added in between come back.
  run("iptables -A INPUT -s 203.0.113.77 -j ACCEPT");
  const std::string between = saveV4();
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, true, false, true));
  fw_->waitIdle();
  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  EXPECT_EQ(saveV4(), between);
  EXPECT_EQ(saveV6(), before6);
}

TEST_F(FirewallITest, UserChainCreatedAfterStartComesBack) {
  ASSERT_TRUE(fw_->reset());
  // Set up after the daemon's start-up reset, before the switch-on.
  run("iptables -N LATECHAIN && iptables -A LATECHAIN -j LOG && iptables -I OUTPUT 1 -j LATECHAIN");
  const std::string before = saveV4();
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, false, true, false));
  fw_->waitIdle();
  EXPECT_NE(rulesV4().find("-P OUTPUT DROP"), std::string::npos);
  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  EXPECT_EQ(saveV4(), before);
}

TEST_F(FirewallITest, NoFilterTableBeforeMeansAllOpenAfter) {
  // A fresh namespace may have no filter table loaded at all: the saved
  // backup is then empty and restoring it alone would keep the kill switch.
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, true, false, false));
  fw_->waitIdle();
  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  EXPECT_EQ(rulesV4(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
  EXPECT_EQ(rulesV6(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}

TEST_F(FirewallITest, IPv6BlockReplacesTheTableAndUnblockRestoresIt) {
  setUpUserRules();
  const std::string before6 = saveV6(), before4 = saveV4();
  ASSERT_TRUE(fw_->firewallChange("", false, true, false, false));
  EXPECT_EQ(rulesV6(), "-P INPUT DROP\n-P FORWARD DROP\n-P OUTPUT DROP\n");
  EXPECT_EQ(saveV4(), before4) << "IPv4 is untouched";
  ASSERT_TRUE(fw_->firewallChange("", false, false, false, false));
  EXPECT_EQ(saveV6(), before6);

  // A backup the tool rejects: the table is opened rather than left blocked.
  ASSERT_TRUE(fw_->firewallChange("", false, true, false, false));
  ASSERT_TRUE(replaceFileAtomically(dir_ + "/ip6tables.rules", "*filter\nnot a rule\nCOMMIT\n", 0600));
  ASSERT_TRUE(fw_->firewallOff());
  EXPECT_EQ(rulesV6(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}

TEST_F(FirewallITest, MissingIPv4BackupOpensTheTableInstead) {
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, false, false, false));
  fw_->waitIdle();
  ASSERT_EQ(::unlink((dir_ + "/iptables.rules").c_str()), 0);
  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  EXPECT_EQ(rulesV4(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}

TEST_F(FirewallITest, RefusedRequestReachesNoShell) {
  const std::string before = saveV4();
  EXPECT_FALSE(fw_->firewallOn("192.0.2.2;$(touch /tmp/fw-injected)", true, true, false, false));
  EXPECT_FALSE(fw_->setInterfaceToSkip("lo;touch /tmp/fw-injected"));
  EXPECT_FALSE(fw_->firewallOn("192.0.2.2", true, true, false, false));
  fw_->waitIdle();
  EXPECT_NE(::access("/tmp/fw-injected", F_OK), 0);
  EXPECT_EQ(saveV4(), before);
  EXPECT_FALSE(fw_->killSwitchOn());
  EXPECT_TRUE(waitForLog("[Firewall] Refused request: invalid server address"));
}

TEST_F(FirewallITest, QuickOnOffOnWithSlowIptablesEndsWithTheLastRequest) {
  // Every iptables line of a script takes a while, so later commands are
  // issued long before earlier scripts are done.
  run("mkdir -p /tmp/slowbin && printf '#!/bin/sh\\nsleep 0.05\\nexec /usr/sbin/iptables \"$@\"\\n' "
      "> /tmp/slowbin/iptables && chmod 755 /tmp/slowbin/iptables");
  std::string path = std::string("/tmp/slowbin:") + (std::getenv("PATH") ? std::getenv("PATH") : "");
  ::setenv("PATH", path.c_str(), 1);
  setUpUserRules();
  const std::string before = saveV4();

  ASSERT_TRUE(fw_->setInterfaceToSkip("tun7"));
  ASSERT_TRUE(fw_->firewallOn("203.0.113.50", true, false, false, false));
  ASSERT_TRUE(fw_->firewallOff());
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2;198.51.100.0/24", true, false, false, false));
  fw_->waitIdle();
  std::string on = rulesV4();
  for (const std::string& rule : kKillSwitchRules) EXPECT_EQ(count(on, rule), 1u) << rule << on;
  EXPECT_EQ(count(on, "203.0.113.50"), 0u) << on;
  EXPECT_EQ(count(on, "--dport 53 -j ACCEPT"), 2u) << on;
  EXPECT_EQ(count(on, "192.168.0.0/16"), 0u) << on;

  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  EXPECT_EQ(saveV4(), before);
}

TEST_F(FirewallITest, ConcurrentRequestsLeaveTheUserFirewallIntact) {
  setUpUserRules();
  const std::string before4 = saveV4(), before6 = saveV6();
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 4; ++i) {
        if ((i + t) % 2 == 0) {
          fw_->setInterfaceToSkip("tun" + std::to_string(t));
          fw_->firewallOn("192.0.2." + std::to_string(i + 2), true, i % 2 == 0, t == 1, i == 3);
        } else {
          fw_->firewallOff();
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  ASSERT_TRUE(fw_->firewallOff());
  fw_->waitIdle();
  EXPECT_EQ(saveV4(), before4);
  EXPECT_EQ(saveV6(), before6);
}

TEST_F(FirewallITest, ScriptsAndBackupsOnDisk) {
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, true, false, false));
  fw_->waitIdle();
  struct stat st;
  ASSERT_EQ(::stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const char* name : {"/fw.sh", "/fw_dns.sh", "/fw_local_devs.sh", "/fw_zeph.sh", "/fw_v6.sh", "/iptables.rules",
                           "/ip6tables.rules"}) {
    ASSERT_EQ(::stat((dir_ + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0640u) << name;
  }
  std::string text;
  ASSERT_TRUE(readFile(dir_ + "/fw_local_devs.sh", &text));
  EXPECT_EQ(text.size(), 133u) << "the last run deleted the local-network rules";
  // Nothing but the named files is left in the directory.
  EXPECT_EQ(run("ls " + dir_ + " | wc -l"), "7\n");
}

// The daemon opens both filter tables when its worker starts.
TEST_F(DaemonTest, WorkerStartResetsTheFirewall) {
  run("iptables -A INPUT -s 203.0.113.9 -j DROP && iptables -P FORWARD DROP && "
      "ip6tables -A INPUT -s 2001:db8:9::1 -j DROP && ip6tables -P OUTPUT DROP");
  std::string why;
  ASSERT_TRUE(startDaemon(&why)) << why;
  ASSERT_TRUE(waitForLog("firewallImpl.reset();"));
  // "/fwoff.sh" ran before the IPv6 open table, and reset returned after both.
  size_t v6 = logPosition("[Firewall] Execute cmd: ip6tables-restore < /usr/share/tundra_fox/fwoff_v6.sh");
  ASSERT_NE(v6, std::string::npos);
  EXPECT_LT(logPosition("[Firewall] Execute cmd: sh /usr/share/tundra_fox/fwoff.sh >/dev/null &"), v6);
  EXPECT_LT(v6, logPosition("firewallImpl.reset();"));
  EXPECT_EQ(rulesV4(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
  EXPECT_EQ(rulesV6(), "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
  struct stat st;
  ASSERT_EQ(::stat("/usr/share/tundra_fox/fwoff.sh", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_TRUE(stopDaemon());
}

}  // namespace
