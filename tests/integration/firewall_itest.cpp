// The kill switch against the real iptables tools, inside the sandbox's own
// network namespace: a FireWall object on the real command runner with a
// private data directory, and the daemon's start-up reset.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>

#include "base/command_runner.h"
#include "base/io.h"
#include "firewall/firewall.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::string kAllOpen = "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n";

// The kill switch's rules for tunnel tun7 and servers 192.0.2.2;198.51.100.0/24.
const char* const kKillSwitchRules[] = {
    "-P INPUT DROP", "-P FORWARD DROP", "-P OUTPUT DROP", "-A INPUT -i lo -j ACCEPT", "-A INPUT -i tun7 -j ACCEPT",
    "-A INPUT -s 192.0.2.2/32 -j ACCEPT", "-A INPUT -s 198.51.100.0/24 -j ACCEPT", "-A FORWARD -i lo -j ACCEPT",
    "-A FORWARD -i tun7 -j ACCEPT", "-A OUTPUT -o lo -j ACCEPT", "-A OUTPUT -o tun7 -j ACCEPT",
    "-A OUTPUT -d 192.0.2.2/32 -j ACCEPT", "-A OUTPUT -d 198.51.100.0/24 -j ACCEPT",
    "-A INPUT -s 10.10.1.0/30 -j ACCEPT", "-A OUTPUT -d 10.10.1.0/30 -j ACCEPT",
};

std::string run(const std::string& cmd) {
  CommandResult r = runCommand(cmd);
  EXPECT_TRUE(r.ok()) << cmd << ":\n" << r.output;
  return r.output;
}

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
    DaemonTest::SetUp();  // fails outside a sandbox, whose /tmp is the test's own
    if (!HasFatalFailure()) fw_ = std::make_unique<FireWall>(dir_, realCommandRunner());
  }
  // "<tool> -S" once every command issued so far has run.
  std::string rules(const std::string& tool) {
    fw_->waitIdle();
    return run(tool + " -S");
  }
  // A "<tool>-save" dump without comments and counters, so that two dumps
  // of the same rules compare equal.
  std::string saved(const std::string& tool) {
    static const std::regex counters(R"(\[\d+:\d+\])");
    fw_->waitIdle();
    std::istringstream in(run(tool + "-save"));
    std::string line, out;
    while (std::getline(in, line)) {
      if (!line.empty() && line[0] != '#') out += std::regex_replace(line, counters, "[0:0]") + "\n";
    }
    return out;
  }

  const std::string dir_ = "/tmp/fwdata";
  std::unique_ptr<FireWall> fw_;
};

TEST_F(FirewallITest, OnChangeOffLeavesTheUserFirewallExactlyAsItWas) {
  setUpUserRules();
  const std::string before4 = saved("iptables"), before6 = saved("ip6tables");
  ASSERT_TRUE(fw_->setInterfaceToSkip("tun7"));
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2;198.51.100.0/24", true, false, false, false));
  std::string on = rules("iptables");
  for (const std::string rule : kKillSwitchRules) EXPECT_EQ(count(on, rule + "\n"), 1u) << rule << on;
  // The user's rules stay ahead of the kill switch's.
  EXPECT_LT(on.find("-A INPUT -s 203.0.113.9/32 -j USERCHAIN"), on.find("-A INPUT -i lo -j ACCEPT"));
  EXPECT_EQ(count(on, "192.168.0.0/16"), 0u) << "the local network was not asked for\n" << on;

  // Local network allowed while on: its rules exactly once.
  ASSERT_TRUE(fw_->firewallChange("192.0.2.2", true, false, true, false));
  EXPECT_EQ(count(rules("iptables"), "-s 192.168.0.0/16 -j ACCEPT"), 1u);
  ASSERT_TRUE(fw_->firewallOff());
  EXPECT_EQ(saved("iptables"), before4);
  EXPECT_EQ(saved("ip6tables"), before6);

  // A second round, with IPv6 blocked, saves afresh: rules the user added in
  // between come back.
  run("iptables -A INPUT -s 203.0.113.77 -j ACCEPT");
  const std::string between = saved("iptables");
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, true, false, true));
  EXPECT_EQ(rules("ip6tables"), "-P INPUT DROP\n-P FORWARD DROP\n-P OUTPUT DROP\n");
  ASSERT_TRUE(fw_->firewallOff());
  EXPECT_EQ(saved("iptables"), between);
  EXPECT_EQ(saved("ip6tables"), before6);
}

// Restoring the user's rules must lift the kill switch even when a backup is
// gone or the tool rejects it.
TEST_F(FirewallITest, MissingOrRejectedBackupsOpenTheTablesInstead) {
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2", true, true, false, false));
  ASSERT_EQ(::unlink((dir_ + "/iptables.rules").c_str()), 0);
  ASSERT_TRUE(replaceFileAtomically(dir_ + "/ip6tables.rules", "*filter\nnot a rule\nCOMMIT\n", 0600));
  ASSERT_TRUE(fw_->firewallOff());
  EXPECT_EQ(rules("iptables"), kAllOpen);
  EXPECT_EQ(rules("ip6tables"), kAllOpen);
}

TEST_F(FirewallITest, QuickOnOffOnWithSlowIptablesEndsWithTheLastRequest) {
  // Every iptables line of a script takes a while, so later commands are
  // issued long before earlier scripts are done.
  run("mkdir -p /tmp/slowbin && printf '#!/bin/sh\\nsleep 0.05\\nexec /usr/sbin/iptables \"$@\"\\n' "
      "> /tmp/slowbin/iptables && chmod 755 /tmp/slowbin/iptables");
  ::setenv("PATH", ("/tmp/slowbin:" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "")).c_str(), 1);
  setUpUserRules();
  const std::string before = saved("iptables");
  ASSERT_TRUE(fw_->setInterfaceToSkip("tun7"));
  ASSERT_TRUE(fw_->firewallOn("203.0.113.50", true, false, false, false));
  ASSERT_TRUE(fw_->firewallOff());
  ASSERT_TRUE(fw_->firewallOn("192.0.2.2;198.51.100.0/24", true, false, false, false));
  std::string on = rules("iptables");
  for (const std::string rule : kKillSwitchRules) EXPECT_EQ(count(on, rule + "\n"), 1u) << rule << on;
  EXPECT_EQ(count(on, "203.0.113.50"), 0u) << on;
  ASSERT_TRUE(fw_->firewallOff());
  EXPECT_EQ(saved("iptables"), before);
}

// The daemon opens both filter tables when its worker starts, before it listens.
TEST_F(DaemonTest, WorkerStartResetsTheFirewall) {
  run("iptables -A INPUT -s 203.0.113.9 -j DROP && iptables -P FORWARD DROP && "
      "ip6tables -A INPUT -s 2001:db8:9::1 -j DROP && ip6tables -P OUTPUT DROP");
  ASSERT_TRUE(startDaemon());
  ASSERT_TRUE(waitForLog("firewallImpl.reset();"));
  // "/fwoff.sh" ran before the IPv6 open table, and reset returned after both.
  size_t v6 = logPosition("[Firewall] Execute cmd: ip6tables-restore < /usr/share/tundra_fox/fwoff_v6.sh");
  ASSERT_NE(v6, std::string::npos);
  EXPECT_LT(logPosition("[Firewall] Execute cmd: sh /usr/share/tundra_fox/fwoff.sh >/dev/null &"), v6);
  EXPECT_LT(v6, logPosition("firewallImpl.reset();"));
  EXPECT_EQ(run("iptables -S"), kAllOpen);
  EXPECT_EQ(run("ip6tables -S"), kAllOpen);
  struct stat st;
  ASSERT_EQ(::stat("/usr/share/tundra_fox/fwoff.sh", &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

}  // namespace
