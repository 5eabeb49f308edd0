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


// The user's own rules, as iptables-restore reads them (printf text): a chain of their own, a jump to it and a
// policy, as a firewall loaded at boot leaves them.
const std::string kUserRules = "*filter\\n:INPUT ACCEPT\\n:FORWARD DROP\\n:OUTPUT ACCEPT\\n:user-in - [0:0]\\n"
                               "-A INPUT -j user-in\\n-A user-in -p tcp --dport 9999 -j DROP\\nCOMMIT\\n";

// Both tables as iptables-save prints them (the real tools), without comments and counters.
std::string tables() {
  return runCommand("PATH=/usr/sbin:/usr/bin:/sbin:/bin; { iptables-save; ip6tables-save; } | "
                    "sed -e '/^#/d' -e 's/ \\[[0-9]*:[0-9]*\\]$//'").output;
}

// The step hook of the sandbox's stand-ins (tools/sandbox/stubs/stub-lib.sh): from now on every command the daemon
// runs is a step, and the one that begins step `at` first sends `sig` to `who` ("monitor" or "worker"), then hangs
// `pauseSeconds`; `at` 0: none.
const std::string kStepsLog = "/var/log/sandbox/steps.log", kStepTarget = "/var/log/sandbox/step-target";
void armStep(size_t at, int sig, const char* who, int pauseSeconds = 0) {
  std::ofstream(kStepsLog, std::ios::trunc).flush();
  std::ofstream(kStepTarget) << at << ' ' << sig << ' ' << who << ' '
                             << (pauseSeconds > 0 ? std::to_string(pauseSeconds) : "") << '\n';
}
size_t stepsTaken() { const std::string log = fileText(kStepsLog); return std::count(log.begin(), log.end(), '\n'); }
// The update job, whose shell the daemon left to init: a child of init that is neither this test nor a tundrafoxd.
bool jobRunning() {
  return std::ranges::any_of(childrenOf(1), [](pid_t pid) {
    return pid != getpid() && fileText("/proc/" + std::to_string(pid) + "/comm") != "tundrafoxd\n";
  });
}
// Living processes of the daemon session `sid` (its monitor leads it) outside the process groups of its monitor
// and its current worker: what a worker that ended left behind.
std::vector<pid_t> leftBehind(const std::string& sid) {
  const std::string worker = std::to_string(workerPid(0));
  std::vector<pid_t> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc"))
    if (const pid_t pid = std::atoi(entry.path().filename().c_str());
        pid > 0 && statField(pid, 6) == sid && statField(pid, 5) != sid && statField(pid, 5) != worker &&
        statField(pid, 3) != "Z")
      found.push_back(pid);
  return found;
}

}  // namespace

namespace {

// Every command the daemon runs during the transitions `names` (of: start, on, change, off, update with its job's
// steps, stop) is, in turn, the moment its worker gets SIGKILL, its monitor SIGKILL, its monitor SIGTERM: each
// save, restore, rule script, timedatectl, the job and each step of it (the iptables lines of a rule script are one
// step with it: the script ends as a whole). The daemon is then started again as systemd would. Each time the
// tables end in a legal state (the user's own rules or the last acknowledged kill switch), nothing the dead worker
// started is left, and the switch-off is served and gives the user's rules back exactly.
void walkEveryStep(const std::vector<std::string>& names) {
  ASSERT_TRUE(runCommand("PATH=/usr/sbin:/usr/bin:/sbin:/bin; for v in '' 6; do printf '" + kUserRules +
                         "' | ip${v}tables-restore || exit 1; done").ok());
  std::ofstream("/tmp/update.deb") << "!<arch>\n";
  const std::string user = tables();
  ASSERT_TRUE(startDaemon());

  const auto firewall = [](int32_t command, bool blockDNS) {
    MessagePacket p = makePacket(command);
    encodeFirewallRequest(&p, command, {"10.9.0.1", "tun0", true, true, false, false, blockDNS});
    return p;
  };
  MessagePacket update, zone = makePacket(AA_COMMAND_TIMEZONE_CHANGE);
  encodePackagePath(&update, U"/tmp/update.deb");
  encodeTimezoneRequest(&zone, {false, "Asia/Tokyo"});
  const auto acked = [](const MessagePacket& p) { return send(p) == kYes; };
  enum Before { kServing, kOn, kStoppedOn };
  // `restarts`: the daemon is started again after the transition even when nothing stopped it.
  struct Transition { const char* name; Before before; bool restarts; std::function<bool()> act; };
  const Transition transitions[] = {
      {"start", kStoppedOn, true, [] { return !runCommand(TUNDRAFOXD_PATH).ok(); }},
      {"on", kServing, false, [&] { return acked(firewall(1, false)); }},
      {"change", kOn, false, [&] { return acked(firewall(3, true)); }},
      {"off", kOn, false, [&] { return acked(makePacket(AA_COMMAND_FIREWALL_OFF)); }},
      {"update", kOn, false, [&] { return acked(update); }},
      {"stop", kOn, true, [&] { return !acked(zone) || kill(monitorPid(), SIGTERM) != 0; }}};
  // Quiet for a while: the rule scripts still queued have run too.
  const auto settled = [] {
    const auto quietAWhile = [] {
      if (!firewallQuiet()) return false;
      sleepMs(150);
      return firewallQuiet();
    };
    return waitUntil(quietAWhile, 30000);
  };
  const auto prepare = [&](Before before) {
    ASSERT_TRUE(before == kServing || (acked(firewall(1, false)) && settled()));
    if (before == kStoppedOn) {
      ASSERT_TRUE(stopDaemon());
    }
  };
  // Until the daemon serves again (started anew when none is left; its reset logged after `mark`) and nothing runs.
  // Once the daemon of session `sid` is gone (as it must be when `ends`) or has a new worker, nothing an ended worker
  // started may run.
  const auto recover = [&](size_t mark, bool restarted, const std::string& sid, bool ends) {
    ASSERT_TRUE(waitUntil([&] {
      const int n = countProcesses("tundrafoxd");
      return n == 0 || (!ends && n == 2 && (!restarted || countLog("firewallImpl.reset();", mark) > 0));
    }, 15000));
    for (pid_t pid : leftBehind(sid))
      ADD_FAILURE() << "left running: " << fileText("/proc/" + std::to_string(pid) + "/comm");
    ASSERT_TRUE(waitUntil([] { return !jobRunning(); }, 15000));
    if (countProcesses("tundrafoxd") == 0) {
      std::filesystem::remove(kStepTarget);
      ASSERT_TRUE(startDaemon() && waitForLog("firewallImpl.reset();", kDefaultTimeoutMs, mark));
    }
    ASSERT_TRUE(settled());
  };
  const auto switchOffGivesUserRules = [&] {
    EXPECT_EQ(send(makePacket(AA_COMMAND_FIREWALL_OFF)), kYes);
    ASSERT_TRUE(settled());
    EXPECT_EQ(tables(), user);
  };
  const std::pair<int, const char*> targets[] = {{SIGKILL, "worker"}, {SIGKILL, "monitor"}, {SIGTERM, "monitor"}};
  for (const Transition& t : transitions) {
    if (std::ranges::find(names, t.name) == names.end()) continue;
    // A first run counts the steps and shows the tables the transition leaves.
    prepare(t.before);
    const std::string before = tables();
    size_t mark = syslogMark();
    armStep(0, 0, "worker");
    t.act();
    recover(mark, t.restarts, "none", false);
    const std::string taken = fileText(kStepsLog), after = tables();
    std::filesystem::remove(kStepTarget);
    switchOffGivesUserRules();
    std::printf("%s:\n%s", t.name, taken.c_str());
    for (const auto& [sig, who] : targets) {
      // The job's own kill of the daemon ends the walk: no daemon is left to stop after it.
      for (size_t line = 0, at = 1; line < taken.size() && taken.compare(line, 11, "sudo [kill]") != 0;
           line = taken.find('\n', line) + 1, ++at) {
        if (taken.compare(line, 10, "iptables [") == 0 || taken.compare(line, 11, "ip6tables [") == 0) continue;
        // The job's steps while the daemon waits for it: only with a worker that dies and is replaced.
        if (who != std::string("worker") && taken.rfind("sleep [", line) != std::string::npos) continue;
        SCOPED_TRACE(std::string(t.name) + ": " + sigabbrev_np(sig) + " to the " + who + " at step " +
                     std::to_string(at));
        prepare(t.before);
        mark = syslogMark();
        armStep(at, sig, who);
        const bool ack = t.act();
        ASSERT_TRUE(waitUntil([&] { return stepsTaken() >= at; }, 15000)) << "the step never came";
        std::filesystem::remove(kStepTarget);
        recover(mark, true, std::to_string(readPidFile(kMonitorPidFile)), who == std::string("monitor"));
        const std::string now = tables();
        EXPECT_TRUE(now == user || now == (ack ? after : before)) << now;
        switchOffGivesUserRules();
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

}  // namespace

// Split in three so that each stays well within a test's time limit.
TEST_F(DaemonTest, AStopAtEveryStepOfAStartOrSwitchOnLeavesALegalFirewall) { walkEveryStep({"start", "on"}); }
TEST_F(DaemonTest, AStopAtEveryStepOfAChangeOrSwitchOffLeavesALegalFirewall) { walkEveryStep({"change", "off"}); }
TEST_F(DaemonTest, AStopAtEveryStepOfAnUpdateOrAStopLeavesALegalFirewall) { walkEveryStep({"update", "stop"}); }

// SIGTERM to the monitor while a rule script hangs (as one does on host names whose DNS server does not answer):
// the worker ends the script before it exits, so that nothing of it can change the tables after the next start.
TEST_F(DaemonTest, AStopAtAHangingStepLeavesNoRuleScriptRunning) {
  ASSERT_TRUE(startDaemon());
  const std::string sid = std::to_string(monitorPid());
  armStep(2, SIGTERM, "monitor", 30);  // the second step of a switch-on: "sh fw.sh"
  MessagePacket on = makePacket(AA_COMMAND_FIREWALL_ON);
  encodeFirewallRequest(&on, AA_COMMAND_FIREWALL_ON, {"10.9.0.1", "tun0", true, false, false, false, false});
  send(on);
  ASSERT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; }, 10000));
  EXPECT_EQ(leftBehind(sid), std::vector<pid_t>{});
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

// A worker that cannot start its listener thread (thread stacks of 1 TiB cannot be had) ends as a crashed one: the
// monitor starts another after its pause, again and again, and never stops the daemon with the kill switch as it is.
TEST_F(DaemonTest, WorkerWithoutListenerThreadIsRestartedAfterThePause) {
  ASSERT_TRUE(runCommand("ulimit -s 1073741824 && exec " TUNDRAFOXD_PATH).ok());
  EXPECT_TRUE(waitForLogCount("[MONITOR] Childer restart", 2));
  EXPECT_GE(countLog("[WORK PROC] Create work thread failed"), 2u);
  EXPECT_EQ(countLog("Childer stopped") + countLog("Daemon exiting"), 0u);
  EXPECT_EQ(kill(monitorPid(), 0), 0) << "the monitor stopped";
}
