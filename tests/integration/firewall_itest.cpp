// The kill switch against the real iptables tools in the sandbox's network namespace:
// a FireWall on the real command runner with a private data directory, then a start of the daemon.
#include <cstdlib>
#include <regex>
#include <string>

#include "base/command_runner.h"
#include "firewall/firewall.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::string kAllOpen = "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n", kDir = "/tmp/fwdata";
const std::string kServers = "192.0.2.2;198.51.100.0/24";

std::string run(const std::string& cmd) {
  CommandResult r = runCommand(cmd);
  EXPECT_TRUE(r.ok()) << cmd << ":\n" << r.output;
  return r.output;
}
bool once(const std::string& text, const std::string& line) {
  return text.find(line) == text.rfind(line) && text.find(line) != text.npos;
}

TEST_F(DaemonTest, RealIptablesGetTheUserTablesBackAndEndWithTheLastRequest) {
  FireWall fw(kDir, realCommandRunner());  // in the sandbox (checked by SetUp): /tmp is the test's own
  const auto rules = [&](const std::string& tool) { return fw.waitIdle(), run(tool + " -S"); };
  // All tables of both families, without comments and counters.
  const auto saved = [&] {
    return fw.waitIdle(), std::regex_replace(run("{ iptables-save; ip6tables-save; } | grep -v '^#'"),
                                             std::regex(R"(\[\d+:\d+\])"), "");
  };
  // A backup that is gone or that the tool rejects: the switch-off opens the table instead.
  ASSERT_TRUE(fw.firewallOn("192.0.2.2", true, true, false, false));
  run("rm " + kDir + "/iptables.rules && printf '*filter\\nnot a rule\\nCOMMIT\\n' >" + kDir + "/ip6tables.rules");
  ASSERT_TRUE(fw.firewallOff());
  EXPECT_EQ(rules("iptables") + rules("ip6tables"), kAllOpen + kAllOpen);

  // The user's own firewall: rules, policies, user chains, a nat rule.
  run("iptables -N USERCHAIN && iptables -A USERCHAIN -p tcp --dport 2222 -j RETURN && iptables -P FORWARD DROP && "
      "iptables -A INPUT -s 203.0.113.9 -j USERCHAIN && iptables -A OUTPUT -d 203.0.113.10 -j REJECT && "
      "iptables -t nat -A POSTROUTING -s 203.0.113.0/24 -j MASQUERADE && ip6tables -N USER6 && "
      "ip6tables -P FORWARD DROP && ip6tables -A USER6 -j RETURN && ip6tables -A INPUT -s 2001:db8:9::/48 -j USER6");
  const std::string before = saved();
  ASSERT_TRUE(fw.setInterfaceToSkip("tun7"));
  ASSERT_TRUE(fw.firewallOn(kServers, true, false, false, false));
  const std::string on = rules("iptables");
  EXPECT_TRUE(once(on, "-P OUTPUT DROP\n") && once(on, "-A OUTPUT -d 198.51.100.0/24 -j ACCEPT\n")) << on;
  EXPECT_LT(on.find("-A INPUT -s 203.0.113.9/32 -j USERCHAIN"), on.find("-A INPUT -i lo -j ACCEPT")) << on;
  EXPECT_EQ(on.find("192.168.0.0/16"), std::string::npos) << "the local network was not asked for\n" << on;
  ASSERT_TRUE(fw.firewallChange("192.0.2.2", true, false, true, false) && fw.firewallOff());
  EXPECT_EQ(saved(), before);

  // With every iptables line slow, quick on/off/on commands are issued long before the earlier scripts are done:
  // the end state is the last request's own, and its backup was taken afresh (with the nat rule added since).
  run("iptables -t nat -A POSTROUTING -s 203.0.113.77 -j MASQUERADE");
  const std::string between = saved();
  run("mkdir -p /tmp/slowbin && printf '#!/bin/sh\\nsleep 0.05\\nexec /usr/sbin/iptables \"$@\"\\n' "
      ">/tmp/slowbin/iptables && chmod 755 /tmp/slowbin/iptables");
  ::setenv("PATH", ("/tmp/slowbin:" + std::string(std::getenv("PATH"))).c_str(), 1);
  ASSERT_TRUE(fw.firewallOn("203.0.113.50", true, false, false, false) && fw.firewallOff() &&
              fw.firewallOn(kServers, true, true, false, false));
  EXPECT_EQ(rules("iptables") + rules("ip6tables"), on + "-P INPUT DROP\n-P FORWARD DROP\n-P OUTPUT DROP\n");
  ASSERT_TRUE(fw.firewallOff());
  EXPECT_EQ(saved(), between);

  // A start leaves the user's own tables exactly as they are: nothing of theirs is pending.
  ASSERT_TRUE(startDaemon());
  ASSERT_TRUE(waitForLog("firewallImpl.reset();"));
  EXPECT_EQ(saved(), between);
}

}  // namespace
