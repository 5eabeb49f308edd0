// Supervision when processes die at the wrong moment, another user wants the port or the daemon's own files
// are not what it expects: the real daemon and the real iptables in the sandbox.
#include <arpa/inet.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/process.h"
#include "support/daemon_fixture.h"

using namespace itest;

namespace {

using Reply = std::array<unsigned char, kMessageReplySize>;
const Reply kNo{}, kYes{1};

// No rule script of the daemon and no iptables command runs.
bool firewallQuiet() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec))
    for (const char* text : {"tundra_fox/", "iptables", "ip6tables"})
      if (fileText(entry.path().string() + "/cmdline").find(text) != std::string::npos) return false;
  return true;
}
Reply send(const MessagePacket& packet) { return exchangeRecord(packet).value_or(Reply{0xEE}); }

// A process of user nobody that tries for `ms` to listen on 127.0.0.1:23589, holding the port once it has it; ends
// with status 0 if it held it, 3 if not. It accepts nothing: a closed connection would keep the port in TIME_WAIT.
pid_t startSquatter(int ms) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
  const sockaddr_in addr{AF_INET, htons(23589), {htonl(INADDR_LOOPBACK)}, {}};
  UniqueFd sock;
  for (int waited = 0; waited < ms; ++waited, usleep(1000)) {
    if (sock) continue;
    sock.reset(socket(AF_INET, SOCK_STREAM, 0));
    if (bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || listen(sock.get(), 8) != 0)
      sock.reset();
  }
  _exit(sock ? 0 : 3);
}

}  // namespace

// An overlong log line is cut and marked. A worker that dies at any moment of a switch-on, change or off leaves
// nothing that could change the tables after the next worker's reset: they end open and the next request is
// served. A dying monitor takes its worker along, which puts the timezone back.
TEST_F(DaemonTest, DeathAtAnyMomentOfAFirewallRequestLeavesTablesOpenAndServing) {
  std::ofstream("/etc/timezone") << "Europe/Oslo\n";
  ASSERT_TRUE(startDaemon());
  MessagePacket overlong = makePacket(AA_COMMAND_TIMEZONE_CHANGE);
  std::fill(overlong.bytes + 5, overlong.bytes + kMessagePacketSize, 0x01);
  EXPECT_EQ(send(overlong), kNo);
  EXPECT_TRUE(waitForLog("...[cut: 256"));  // each byte shown as \xNN

  std::string servers = "10.9.0.1";  // 200 addresses: scripts that run a while
  for (int i = 2; i <= 200; ++i) servers += ";10.9.0." + std::to_string(i);
  const auto packet = [&](int32_t command) {
    MessagePacket p = makePacket(command);
    if (command == 8) encodeTimezoneRequest(&p, {false, "Asia/Tokyo"});
    if (command % 2) encodeFirewallRequest(&p, command, {servers, "tun0", true, false, false, false, command == 3});
    return p;
  };
  // Command 1 on; with the kill switch on before: 3 change (DNS blocked), 2 off, 8 timezone. The signal goes
  // to the worker or the monitor, delayMs after the reply.
  struct Case { int32_t command; int sig, delayMs; bool monitor = false; };
  const Case cases[] = {{1, SIGKILL, 50}, {1, SIGSEGV, 50}, {1, SIGKILL, 0},  {1, SIGKILL, 300},
                        {3, SIGKILL, 0},  {2, SIGKILL, 0},  {2, SIGSEGV, 20}, {8, SIGKILL, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    ASSERT_TRUE(c.command == 1 || (send(packet(1)) == kYes && waitUntil(firewallQuiet, 30000)));
    const pid_t monitor = monitorPid(), worker = workerPid();
    const size_t mark = syslogMark();
    ASSERT_EQ(send(packet(c.command)), kYes);
    sleepMs(c.delayMs);
    ASSERT_EQ(kill(c.monitor ? monitor : worker, c.sig), 0);
    if (c.monitor) {
      EXPECT_TRUE(waitProcessGone(worker, 1500)) << "the worker outlived its monitor";
      EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Europe/Oslo]"));
      ASSERT_TRUE(startDaemon());
    }
    EXPECT_TRUE(waitForLog("firewallImpl.reset();", kDefaultTimeoutMs, mark)) << "no new worker";
    ASSERT_TRUE(waitUntil(firewallQuiet, 30000));
    ASSERT_EQ(runCommand("iptables -S").output, "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
    EXPECT_EQ(send(makePacket(AA_COMMAND_FIREWALL_OFF)), kYes) << "switching off must reach the new worker";
    ASSERT_TRUE(waitUntil(firewallQuiet, 30000));
  }
}

// A pid lock path that is a directory, symlink or FIFO fails the start before it detaches; nothing is followed.
// A user who took the control port first keeps the daemon waiting (logged, retried) until it is free again, and
// no gap opens while a worker is replaced.
TEST_F(DaemonTest, StartRefusesAPidLockPathThatIsNoFileAndNoOtherUserTakesThePort) {
  for (const std::string plant : {"mkdir", "ln -s /tmp/pid-target", "mkfifo"}) {
    SCOPED_TRACE(plant);
    ASSERT_TRUE(runCommand("rm -rf " + std::string(kPidLockFile) + " && " + plant + " " + kPidLockFile).ok());
    const CommandResult start = runCommand(TUNDRAFOXD_PATH);
    EXPECT_TRUE(WIFEXITED(start.status) && WEXITSTATUS(start.status) == 1) << start.status;
    EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; }, 1000));
    EXPECT_FALSE(std::filesystem::exists("/tmp/pid-target"));
  }
  EXPECT_EQ(countLog("Could not open PID lock file /var/run/tundrafoxd.pid, exiting"), 3u);
  std::filesystem::remove(kPidLockFile);

  const pid_t squatter = startSquatter(2000);
  ASSERT_TRUE(waitForControlPort());
  ASSERT_TRUE(runCommand(TUNDRAFOXD_PATH).ok());
  EXPECT_TRUE(waitForLog("bind failed. Error: Address already in use"));
  EXPECT_TRUE(waitUntil([] { return exchangeRecord(makePacket(0), 500) == kNo; })) << "the daemon never bound";
  EXPECT_EQ(WEXITSTATUS(waitProcess(squatter)), 0);
  for (int sig : {SIGKILL, SIGSEGV}) {
    ASSERT_EQ(kill(workerPid(), sig), 0);
    EXPECT_EQ(WEXITSTATUS(waitProcess(startSquatter(1500))), 3) << sigabbrev_np(sig) << ": the port was free";
    EXPECT_EQ(send(makePacket(0)), kNo);
  }
}
