// The daemon's supervision when processes die at the wrong moment, when
// another user wants its port, and when its own files are not what it
// expects: the real daemon and the real iptables in the sandbox.
#include <arpa/inet.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "base/io.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

using Reply = std::array<unsigned char, kMessageReplySize>;
const Reply kNo{}, kYes{1};
const std::string kAllOpen = "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n";

// True while a living process's command line holds `text`.
bool commandRunning(const std::string& text) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec))
    if (fileText(entry.path().string() + "/cmdline").find(text) != std::string::npos) return true;
  return false;
}
// No rule script of the daemon and no iptables command runs.
bool firewallQuiet() { return !commandRunning("tundra_fox/") && !commandRunning("iptables") && !commandRunning("ip6tables"); }

Reply send(const MessagePacket& packet) { return exchangeRecord(packet).value_or(Reply{0xEE}); }
MessagePacket firewallPacket(int32_t command, bool killSwitch, bool blockDNS) {
  std::string servers = "10.9.0.1";
  for (int i = 2; i <= 200; ++i) servers += ";10.9." + std::to_string(i / 250) + "." + std::to_string(i % 250);
  MessagePacket p{};
  encodeFirewallRequest(&p, command, {servers, "tun0", killSwitch, false, false, false, blockDNS});
  return p;
}
MessagePacket timezonePacket(const std::string& name) {
  MessagePacket p{};
  encodeTimezoneRequest(&p, {false, name});
  return p;
}

// Waits for `pid` (a child of this process) to end; its exit status, or -1
// (after killing it) when it is still running after `timeoutMs`.
int exitStatusOf(pid_t pid, int timeoutMs) {
  int status = 0;
  if (waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs))
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -1;
}

// A process of user nobody that binds and listens on 127.0.0.1:23589 as
// soon as it can, trying for `tryMs`, and then holds the port. Ends with
// status 3 when it never got it. (It accepts nothing: a connection it closed
// would stay in TIME_WAIT and keep the port from the daemon for a minute.)
pid_t startSquatter(int tryMs) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(tryMs);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(23589);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  UniqueFd sock;
  while (!sock && std::chrono::steady_clock::now() < deadline) {
    sock.reset(socket(AF_INET, SOCK_STREAM, 0));
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(sock.get(), 8) != 0) {
      sock.reset();
      usleep(1000);
    }
  }
  if (!sock) _exit(3);
  for (;;) pause();
}

}  // namespace

// A worker that dies at any moment of a switch-on, change or switch-off
// leaves nothing running that could change the tables after the next
// worker's reset: they end open and the next request is served. A monitor
// that dies takes its worker along, which puts the timezone back.
TEST_F(DaemonTest, DeathAtAnyMomentOfAFirewallRequestLeavesTablesOpenAndServing) {
  std::ofstream("/etc/timezone") << "Europe/Oslo\n";
  struct Case {
    int32_t command;  // 1 on; with the kill switch on before: 3 change (DNS blocked), 2 off, 8 timezone
    int sig;
    int delayMs;  // after the reply
    bool monitor = false;
  };
  const Case cases[] = {{1, SIGKILL, 50}, {1, SIGSEGV, 50}, {1, SIGKILL, 0},  {1, SIGKILL, 300},
                        {3, SIGKILL, 0},  {2, SIGKILL, 0},  {2, SIGSEGV, 20}, {8, SIGKILL, 0, true}};
  ASSERT_TRUE(startDaemon());
  for (const Case& c : cases) {
    SCOPED_TRACE("command " + std::to_string(c.command) + (c.monitor ? ", monitor " : ", worker ") +
                 sigabbrev_np(c.sig) + " after " + std::to_string(c.delayMs) + " ms");
    if (c.command != 1) {
      ASSERT_EQ(send(firewallPacket(1, true, false)), kYes);
      ASSERT_TRUE(waitUntil(firewallQuiet, 30000));
    }
    const pid_t monitor = monitorPid(), worker = workerPid();
    const size_t mark = syslogMark();
    const MessagePacket request = c.command == 8 ? timezonePacket("Asia/Tokyo")
                                  : c.command == 2 ? makePacket(2)
                                                   : firewallPacket(c.command, true, c.command == 3);
    ASSERT_EQ(send(request), kYes);
    sleepMs(c.delayMs);
    ASSERT_EQ(kill(c.monitor ? monitor : worker, c.sig), 0);
    if (c.monitor) {
      EXPECT_TRUE(waitProcessGone(worker, 1500)) << "the worker outlived its monitor";
      EXPECT_TRUE(waitForLog("[WORK PROC] Stopped", kDefaultTimeoutMs, mark));
      EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Europe/Oslo]"));
      std::string why;
      ASSERT_TRUE(startDaemon(&why)) << why;
    }
    EXPECT_GT(workerPid(kDefaultTimeoutMs, worker), 0);
    EXPECT_TRUE(waitForLog("firewallImpl.reset();", kDefaultTimeoutMs, mark));
    ASSERT_TRUE(waitUntil(firewallQuiet, 30000));
    ASSERT_EQ(runCommand("iptables -S").output, kAllOpen);  // else loopback is cut too
    EXPECT_EQ(send(makePacket(2)), kYes) << "switching off must reach the new worker";
    EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 2; }));
    ASSERT_TRUE(waitUntil(firewallQuiet, 30000));
  }
}

// Nobody else gets the control port: a user who took it first keeps the
// daemon waiting (logged, retried every second) until it is free again, and
// no gap opens while a worker is replaced.
TEST_F(DaemonTest, AnotherUserCannotTakeTheControlPort) {
  pid_t squatter = startSquatter(2000);
  ASSERT_TRUE(waitForControlPort());
  ASSERT_TRUE(runCommand(TUNDRAFOXD_PATH).ok());
  EXPECT_TRUE(waitForLog("bind failed. Error: Address already in use"));
  kill(squatter, SIGKILL);
  waitpid(squatter, nullptr, 0);
  EXPECT_TRUE(waitUntil([] { return exchangeRecord(makePacket(0), 500) == kNo; }, 4000)) << "the daemon never bound";
  for (int sig : {SIGKILL, SIGSEGV}) {
    ASSERT_EQ(kill(workerPid(), sig), 0);
    squatter = startSquatter(1500);
    EXPECT_EQ(exitStatusOf(squatter, 3000), 3) << sigabbrev_np(sig) << ": the port was free during the restart";
    EXPECT_EQ(send(makePacket(0)), kNo);
  }
}

// A pid lock path that is a directory, a symlink or a FIFO is refused before
// the daemon detaches: the start fails and says why; nothing is followed.
TEST_F(DaemonTest, PidLockPathThatIsNotARegularFileFailsTheStart) {
  const std::string target = "/tmp/pid-target";
  const std::function<int()> plant[] = {[] { return mkdir(kPidLockFile, 0700); },
                                        [&] { return symlink(target.c_str(), kPidLockFile); },
                                        [] { return mkfifo(kPidLockFile, 0600); }};
  for (size_t i = 0; i < std::size(plant); ++i) {
    SCOPED_TRACE(i);
    std::filesystem::remove(kPidLockFile);
    ASSERT_EQ(plant[i](), 0);
    const size_t mark = syslogMark();
    const CommandResult start = runCommand(TUNDRAFOXD_PATH);
    EXPECT_TRUE(WIFEXITED(start.status) && WEXITSTATUS(start.status) == 1) << start.status;
    EXPECT_TRUE(waitForLog("Could not open PID lock file /var/run/tundrafoxd.pid, exiting", kDefaultTimeoutMs, mark));
    EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; }, 1000));
    EXPECT_NE(access(target.c_str(), F_OK), 0);
  }
}

// A record's text too long for one log datagram is logged cut and marked.
TEST_F(DaemonTest, OverlongLogLineIsCutAndMarkedNotLost) {
  ASSERT_TRUE(startDaemon());
  MessagePacket packet = makePacket(8);
  std::fill(packet.bytes + 5, packet.bytes + kMessagePacketSize, 0x01);
  const size_t mark = syslogMark();
  EXPECT_EQ(send(packet), kNo);
  EXPECT_TRUE(waitForLog("AA_COMMAND_TIMEZONE_CHANGE | restore timezone = false | timezone = \\x01\\x01",
                         kDefaultTimeoutMs, mark));
  EXPECT_TRUE(waitForLog("...[cut: 256", kDefaultTimeoutMs, mark));
}

// The update job outlives a worker restart, and starts the client again
// only through su for the user on the display, never as root: not when
// nobody is logged in, not for root.
TEST_F(DaemonTest, UpdateJobStartsTheClientOnlyForALoggedInUser) {
  const std::string bin = "/tmp/probe-bin", job = std::string(kDataDir) + "/autoupdate-job.sh";
  ASSERT_TRUE(runCommand("mkdir -p " + bin + " /tmp/downloads && touch /tmp/downloads/p.deb").ok());
  ASSERT_TRUE(replaceFileAtomically(bin + "/tundra_fox",
                                    "#!/bin/sh\necho \"tundra_fox uid=$(id -u)\" >> /var/log/sandbox/stubs.log\n", 0755));
  ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
  ASSERT_TRUE(startDaemon());
  ASSERT_EQ(runCtl({"install-update", "/tmp/downloads/p.deb"}).status, 0);
  ASSERT_EQ(kill(workerPid(), SIGKILL), 0);  // the restart ends the worker's programs, never the job
  ASSERT_TRUE(waitForStubCall("who", 20000));
  ASSERT_TRUE(waitUntil([&] { return !commandRunning(job); }));
  const std::pair<std::string, std::string> whoAndSu[] = {
      {"", ""}, {"root     tty7  2025-01-01 10:00 (:0)\n", ""},
      {"alice    tty7  2025-01-01 10:00 (:0)\n", "su [-l] [alice] [-c] [tundra_fox -style=gtk &]"}};
  for (const auto& [who, su] : whoAndSu) {
    SCOPED_TRACE(who);
    if (!who.empty()) {
      std::ofstream("/var/log/sandbox/who.out") << who;
      ASSERT_TRUE(runCommand("sh " + job).ok());
    }
    sleepMs(300);  // a client started in the background has written its line by then
    std::vector<std::string> calls = stubCalls();
    const auto found = [&](const std::string& p) {
      return std::count_if(calls.begin(), calls.end(), [&](const std::string& c) { return c.starts_with(p); });
    };
    EXPECT_EQ(found("su ["), su.empty() ? 0 : 1);
    EXPECT_EQ(found(su.empty() ? "su [" : su), su.empty() ? 0 : 1);
    EXPECT_EQ(found("tundra_fox uid="), 0) << "the client was started as root";
    std::filesystem::remove("/var/log/sandbox/stubs.log");
  }
}
