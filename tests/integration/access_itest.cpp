// Who may drive the real daemon: an unprivileged client (uid 65534, no
// groups) is refused until the user database puts it in the group tundrafox
// or logind's records show it active on a local seat; root is served.
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const char kRefusedLine[] =
    "refused request from uid 65534: not root, not in group tundrafox, no active local session";

// tundrafoxctl as nobody asks for command 9 (openvpn).
CommandResult openvpnAsNobody() {
  return runCommand("setpriv --reuid 65534 --regid 65534 --clear-groups " + ctlPath() + " openvpn -- --version");
}

// Whether the daemon has started openvpn `times` times in all (the stub
// records each start), waiting a second for the last one.
bool openvpnStarts(size_t times) {
  auto count = [] {
    size_t n = 0;
    for (const std::string& call : stubCalls()) n += call == "openvpn [--version]";
    return n;
  };
  waitUntil([&] { return count() >= times; }, 1000);
  return count() == times;
}

// What systemd-logind keeps in /run for a user with one session on seat0,
// `state` being "active" or "online" (a session in the background).
void writeLogindUser(const std::string& state) {
  for (const char* dir : {"/run/systemd", "/run/systemd/system", "/run/systemd/seats", "/run/systemd/users"}) {
    ::mkdir(dir, 0755);
  }
  std::ofstream user("/run/systemd/users/65534");
  user << "NAME=nobody\nSTATE=" << state << "\nRUNTIME=/run/user/65534\nSESSIONS=2\nSEATS=seat0\n"
       << "ONLINE_SESSIONS=2\nONLINE_SEATS=seat0\n";
  if (state == "active") user << "ACTIVE_SESSIONS=2\nACTIVE_SEATS=seat0\n";
}

}  // namespace

TEST_F(DaemonTest, UnprivilegedPeerGetsZerosRunsNothingAndFloodsNoLog) {
  ASSERT_TRUE(startDaemon());
  const size_t mark = syslogMark();
  CommandResult refused = openvpnAsNobody();
  EXPECT_EQ(WEXITSTATUS(refused.status), 1) << refused.output;
  EXPECT_NE(refused.output.find("reply: 00 00 00 00 00 00 00 00 00"), std::string::npos) << refused.output;
  EXPECT_NE(refused.output.find("adduser nobody tundrafox"), std::string::npos) << refused.output;
  EXPECT_TRUE(waitForLog(kRefusedLine, kDefaultTimeoutMs, mark));
  EXPECT_EQ(countLog("Receive command", mark), 0u);  // nothing was decoded
  EXPECT_TRUE(openvpnStarts(0));

  // Root is served as before, and gets no hint.
  CommandResult root = runCtl({"openvpn", "--", "--version"});
  EXPECT_TRUE(root.ok()) << root.output;
  EXPECT_EQ(root.output.find("adduser"), std::string::npos);
  EXPECT_TRUE(openvpnStarts(1));

  // A flood: a few lines a second, then the count of those left out.
  const size_t floodMark = syslogMark();
  runCommand("for i in $(seq 30); do setpriv --reuid 65534 --regid 65534 --clear-groups " + ctlPath() +
             " raw --command 5; done");
  sleepMs(1100);
  openvpnAsNobody();
  EXPECT_TRUE(waitForLog("more refused requests not logged", kDefaultTimeoutMs, floodMark));
  EXPECT_LT(countLog(kRefusedLine, floodMark), 25u);
  EXPECT_EQ(countLog("Receive command", floodMark), 0u);
}

TEST_F(DaemonTest, GroupMembershipOrAnActiveLocalSeatLetsTheUserIn) {
  ASSERT_TRUE(startDaemon());
  // A session in the background (online, not active) does not count.
  writeLogindUser("online");
  EXPECT_EQ(WEXITSTATUS(openvpnAsNobody().status), 1);
  EXPECT_TRUE(openvpnStarts(0));
  writeLogindUser("active");
  CommandResult seat = openvpnAsNobody();
  EXPECT_TRUE(seat.ok()) << seat.output;
  EXPECT_TRUE(openvpnStarts(1));

  ASSERT_EQ(::unlink("/run/systemd/users/65534"), 0);
  EXPECT_EQ(WEXITSTATUS(openvpnAsNobody().status), 1);
  std::ofstream("/etc/group", std::ios::app) << "tundrafox:x:979:nobody\n";
  CommandResult member = openvpnAsNobody();
  EXPECT_TRUE(member.ok()) << member.output;
  EXPECT_TRUE(openvpnStarts(2));
}
