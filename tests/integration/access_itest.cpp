// Who may drive the real daemon: a client of uid 65534 (no groups) is refused until the user database puts it in
// group tundrafox or logind's records, read by the real libsystemd, show it active on a local seat; root is served.
#include <algorithm>
#include <fstream>
#include <string>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const char kRefusedLine[] =
    "refused request from uid 65534: not root, not in group tundrafox, no active local session";

// tundrafoxctl as nobody, by default asking for command 9 (openvpn).
CommandResult asNobody(const std::string& args = "openvpn -- --version --remote 192.0.2.1") {
  return runCommand("setpriv --reuid 65534 --regid 65534 --clear-groups " + ctlPath() + " " + args);
}

// Whether the daemon has started openvpn (the stub) `times` times in all, waiting a second for the last one.
bool openvpnStarts(long times) {
  auto count = [] {
    return std::ranges::count_if(stubCalls(), [](const std::string& c) { return c.starts_with("openvpn ["); });
  };
  waitUntil([&] { return count() >= times; }, 1000);
  return count() == times;
}

// What systemd-logind keeps in /run for a user with a session on seat0, "active" or "online" (in the background).
void writeLogindUser(const std::string& state) {
  runCommand("mkdir -p /run/systemd/system /run/systemd/seats /run/systemd/users");
  std::ofstream("/run/systemd/users/65534") << "NAME=nobody\nSTATE=" << state << "\nRUNTIME=/run/user/65534\n"
                                            << "SESSIONS=2\nSEATS=seat0\nONLINE_SESSIONS=2\nONLINE_SEATS=seat0\n"
                                            << (state == "active" ? "ACTIVE_SESSIONS=2\nACTIVE_SEATS=seat0\n" : "");
}

}  // namespace

TEST_F(DaemonTest, OnlyRootGroupMembersAndActiveSeatUsersAreServed) {
  ASSERT_TRUE(startDaemon());
  const CommandResult refused = asNobody();
  EXPECT_EQ(WEXITSTATUS(refused.status), 1) << refused.output;
  EXPECT_NE(refused.output.find("reply: 00 00 00 00 00 00 00 00 00"), std::string::npos) << refused.output;
  EXPECT_NE(refused.output.find("adduser nobody tundrafox"), std::string::npos) << refused.output;
  EXPECT_TRUE(waitForLog(kRefusedLine));
  // A flood: a few lines a second, then the count of those left out.
  for (int i = 0; i < 30; ++i) asNobody("raw --command 5");
  sleepMs(1100);
  asNobody();
  EXPECT_TRUE(waitForLog("more refused requests not logged"));
  EXPECT_LT(countLog(kRefusedLine), 25u);
  EXPECT_EQ(countLog("Receive command"), 0u);  // nothing was decoded
  EXPECT_TRUE(openvpnStarts(0));

  const CommandResult root = runCtl({"openvpn", "--", "--version"});
  EXPECT_TRUE(root.ok() && root.output.find("adduser") == std::string::npos) << root.output;  // no hint
  EXPECT_TRUE(openvpnStarts(1));

  writeLogindUser("online");  // a session in the background does not count
  EXPECT_EQ(WEXITSTATUS(asNobody().status), 1);
  writeLogindUser("active");
  EXPECT_TRUE(asNobody().ok());
  EXPECT_TRUE(openvpnStarts(2));
  runCommand("rm /run/systemd/users/65534");
  EXPECT_EQ(WEXITSTATUS(asNobody().status), 1);
  std::ofstream("/etc/group", std::ios::app) << "tundrafox:x:979:nobody\n";
  EXPECT_TRUE(asNobody().ok());
  EXPECT_TRUE(openvpnStarts(3));
}
