// Who may drive the real daemon, and what the others cost it: a client of uid 65534 (no groups) is refused until
// the user database puts it in group tundrafox or logind's records, read by the real libsystemd, show it active on a
// local seat; root and uid 1, a member of the group, are served, also over IPv6 and while 65534 floods the port.
#include <arpa/inet.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const char kRefusedLine[] =
    "refused request from uid 65534: not root, not in group tundrafox, no active local session";

// tundrafoxctl as `uid`, by default asking for command 9 (openvpn).
CommandResult asUser(int uid, const std::string& args = "openvpn -- --version --remote 192.0.2.1") {
  const std::string id = std::to_string(uid);
  return runCommand("setpriv --reuid " + id + " --regid " + id + " --init-groups " + ctlPath() + " " + args);
}
CommandResult asNobody(const std::string& args = "openvpn -- --version --remote 192.0.2.1") {
  return asUser(65534, args);
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

// Runs `body` in a child process with the ids of `uid` (and its own group only); the child's exit status.
template <class Body>
pid_t forkAs(uid_t uid, Body body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const struct rlimit many = {8192, 8192};  // while still root
  ::setrlimit(RLIMIT_NOFILE, &many);
  if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) _exit(9);
  _exit(body());
}
int waitExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Opens 128 connections, then a few more within the 2 s the daemon waits for a first byte: 0 when each further one
// is answered with nine zero bytes at once.
int holdsMoreThanItsShare() {
  std::vector<UniqueFd> held;
  for (int i = 0; i < 128; ++i) held.push_back(connectControl());
  for (int tries = 0; tries < 12; ++tries, sleepMs(100)) {  // 1.2 s: past a rate-limit window spent already
    const UniqueFd extra = connectControl();
    const ReadResult atOnce = readBytes(extra.get(), kMessageReplySize, 1000);
    if (atOnce.kind != ReadResult::kComplete || std::ranges::count(atOnce.bytes, 0) != kMessageReplySize) return 1;
  }
  return 0;
}

// As uid 1 over an AF_INET6 socket connected to ::ffff:127.0.0.1: 0 when command 5 is answered 1.
int supportedOverIpv6() {
  UniqueFd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
  struct sockaddr_in6 addr {AF_INET6, htons(23589), 0, {}, 0};
  ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &addr.sin6_addr);
  const MessagePacket packet = makePacket(AA_COMMAND_FIREWALL_SUPPORTED);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      !sendBytes(fd.get(), packet.bytes, sizeof packet.bytes)) {
    return 2;
  }
  const ReadResult reply = readBytes(fd.get(), kMessageReplySize);
  return reply.kind == ReadResult::kComplete && reply.bytes[0] == 1 ? 0 : 1;
}

// An attacker's 2000 connections: one byte on each every second, and one opened again in place of each one the
// daemon has closed. Ends when killed.
int slowConnections() {
  std::vector<int> fds(2000, -1);
  const struct sockaddr_in addr {AF_INET, htons(23589), {htonl(INADDR_LOOPBACK)}, {}};
  for (;;) {
    for (int& fd : fds) {
      if (fd >= 0 && (::send(fd, "x", 1, MSG_DONTWAIT | MSG_NOSIGNAL) == 1 || errno == EAGAIN)) continue;
      if (fd >= 0) ::close(fd);
      fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    }
    ::sleep(1);
  }
}

// How long `request` takes, in milliseconds.
template <class Request>
long msFor(Request request) {
  const auto t0 = std::chrono::steady_clock::now();
  request();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

TEST_F(DaemonTest, OnlyRootGroupMembersAndActiveSeatUsersAreServed) {
  std::ofstream("/etc/group", std::ios::app) << "tundrafox:x:979:daemon\n";
  struct rlimit limit {};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = 1024;  // what a service gets without LimitNOFILE: the daemon must not depend on more
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_TRUE(startDaemon());
  const CommandResult refused = asNobody();
  EXPECT_EQ(WEXITSTATUS(refused.status), 1) << refused.output;
  EXPECT_NE(refused.output.find("reply: 00 00 00 00 00 00 00 00 00"), std::string::npos) << refused.output;
  EXPECT_NE(refused.output.find("adduser nobody tundrafox"), std::string::npos) << refused.output;
  EXPECT_TRUE(waitForLog(kRefusedLine));
  EXPECT_EQ(waitExit(forkAs(1, supportedOverIpv6)), 0);  // a v4-mapped IPv6 peer is found and judged

  // While 65534 keeps 2000 slow connections going, root and the group member are each served within a second.
  const pid_t attacker = forkAs(65534, slowConnections);
  sleepMs(1500);
  UniqueFd trickle = connectControl();  // a byte a second from root: closed once 5 s have passed in all
  CommandResult root, member;
  EXPECT_LT(msFor([&] { root = runCtl({"openvpn", "--", "--version"}); }), 1000);
  EXPECT_LT(msFor([&] { member = asUser(1, "raw --command 5"); }), 1000);
  EXPECT_TRUE(root.ok() && root.output.find("adduser") == std::string::npos) << root.output;  // no hint
  EXPECT_TRUE(member.ok()) << member.output;
  bool trickled = true;
  for (int s = 0; s < 7 && trickled; ++s, sleepMs(1000)) trickled = sendBytes(trickle.get(), "x", 1);
  EXPECT_EQ(readBytes(trickle.get(), 1, 1000).kind, ReadResult::kClosed);
  ::kill(attacker, SIGKILL);
  waitExit(attacker);
  EXPECT_TRUE(openvpnStarts(1));
  // Thousands refused, a few lines a second of them, and only the served requests' "close(client_sock);".
  EXPECT_TRUE(waitForLog("more refused requests not logged"));
  EXPECT_LT(countLog("refused request from"), 100u);
  EXPECT_TRUE(waitForLogCount("close(client_sock);", countLog("Receive command")));
  EXPECT_EQ(countLog("close(client_sock);"), countLog("Receive command"));

  // A user other than root holds at most 128 connections past accept; the next one is refused at once.
  EXPECT_EQ(waitExit(forkAs(1, holdsMoreThanItsShare)), 0);
  EXPECT_GT(countLog("refused request from uid 1: 128 connections of this user are open already"), 0u);

  writeLogindUser("online");  // a session in the background does not count
  EXPECT_EQ(WEXITSTATUS(asNobody().status), 1);
  writeLogindUser("active");
  EXPECT_TRUE(asNobody().ok());
  EXPECT_TRUE(openvpnStarts(2));
  runCommand("rm /run/systemd/users/65534");
  EXPECT_EQ(WEXITSTATUS(asNobody().status), 1);
  runCommand("sed -i 's/^tundrafox:x:979:daemon$/&,nobody/' /etc/group");
  EXPECT_TRUE(asNobody().ok());
  EXPECT_TRUE(openvpnStarts(3));
}
