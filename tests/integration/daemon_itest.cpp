// The daemon's processes, signals and control connections, seen from
// outside: the real binary in a sandbox.

#include <signal.h>
#include <syslog.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

std::string fileContent(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Field `index` (1-based, as in proc(5)) of /proc/PID/stat.
long statField(pid_t pid, int index) {
  std::string stat = fileContent("/proc/" + std::to_string(pid) + "/stat");
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= index; ++i) in >> field;
  return in ? std::stol(field) : -1;
}

const std::array<unsigned char, kMessageReplySize> kZeroReply{};

// Starts the daemon and finds its two processes.
struct Running {
  pid_t monitor = -1;
  pid_t worker = -1;
};

Running startAndFind() {
  Running r;
  std::string why;
  EXPECT_TRUE(startDaemon(&why)) << why;
  r.monitor = monitorPid();
  r.worker = workerPid();
  EXPECT_GT(r.monitor, 0);
  EXPECT_GT(r.worker, 0);
  return r;
}

// Everything of the daemon is gone: no process, no pid lock file, no port.
void expectFullyStopped() {
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; })) << "daemon processes left";
  EXPECT_FALSE(fileExists(kPidLockFile));
  EXPECT_TRUE(waitUntil([] { return !controlPortListening(); })) << "port 23589 still listens";
}

}  // namespace

TEST_F(DaemonTest, StartDetachesAndWritesPidFiles) {
  // A longer text from an earlier run must not leave its tail behind.
  std::ofstream(kPidLockFile) << "1234567890\nstale tail of an older file\n";
  Running d = startAndFind();
  ASSERT_GT(d.monitor, 0);

  EXPECT_EQ(fileContent(kPidLockFile), std::to_string(d.monitor) + "\n");
  EXPECT_EQ(fileContent(kMonitorPidFile), std::to_string(d.monitor));

  // Detached: its own session, adopted by PID 1 once the starter ended.
  EXPECT_EQ(statField(d.monitor, 6), d.monitor) << "monitor is not a session leader";
  EXPECT_EQ(statField(d.monitor, 4), 1);
  EXPECT_EQ(childrenOf(d.monitor), std::vector<pid_t>{d.worker});

  // The socket-id file names the worker's listening socket.
  pid_t sockId = readPidFile(kSocketIdFile);
  ASSERT_GT(sockId, 0);
  char link[256] = {};
  std::string fdPath = "/proc/" + std::to_string(d.worker) + "/fd/" + std::to_string(sockId);
  ASSERT_GT(readlink(fdPath.c_str(), link, sizeof link - 1), 0);
  EXPECT_EQ(std::string(link).rfind("socket:", 0), 0u) << link;

  EXPECT_TRUE(waitForLog("Daemon starting up"));
  EXPECT_TRUE(waitForLog("[WORK PROC] Started"));
  EXPECT_TRUE(waitForLog("firewallImpl.reset();"));
}

TEST_F(DaemonTest, SecondInstanceIsRefusedAndFirstKeepsServing) {
  Running d = startAndFind();
  const std::string pidText = fileContent(kPidLockFile);

  std::string why;
  ASSERT_TRUE(startDaemon(&why)) << why;  // the starting process ends with 0
  EXPECT_TRUE(waitForLog("Could not lock PID lock file /var/run/tundrafoxd.pid, exiting"));
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 2; }));

  EXPECT_EQ(fileContent(kPidLockFile), pidText);
  EXPECT_TRUE(processAlive(d.monitor));
  EXPECT_TRUE(processAlive(d.worker));
  EXPECT_EQ(countLog("[WORK PROC] Started"), 1u);
  auto reply = exchangeRecord(makePacket(0));
  EXPECT_TRUE(reply.has_value());
}

// Each of the monitor's stop signals ends the whole daemon the same way.
class MonitorStopSignal : public DaemonTest, public ::testing::WithParamInterface<int> {};

TEST_P(MonitorStopSignal, StopsMonitorAndWorker) {
  const int sig = GetParam();
  Running d = startAndFind();
  size_t mark = syslogMark();

  ASSERT_EQ(kill(d.monitor, sig), 0);
  const std::string signalLine = std::string("[MONITOR] Signal ") + strsignal(sig);
  ASSERT_TRUE(waitForLog(signalLine, kDefaultTimeoutMs, mark));
  ASSERT_TRUE(waitForLog("Daemon exiting", kDefaultTimeoutMs, mark));
  EXPECT_TRUE(waitForLog("[WORK PROC] Stopped", kDefaultTimeoutMs, mark));
  EXPECT_LT(logPosition(signalLine, mark), logPosition("[MONITOR] Stopped", mark));
  EXPECT_LT(logPosition("[MONITOR] Stopped", mark), logPosition("Daemon exiting", mark));
  EXPECT_EQ(countLog("Childer", mark), 0u);
  EXPECT_TRUE(waitProcessGone(d.monitor));
  EXPECT_TRUE(waitProcessGone(d.worker));
  expectFullyStopped();
}

INSTANTIATE_TEST_SUITE_P(DaemonTest, MonitorStopSignal, ::testing::Values(SIGTERM, SIGINT, SIGQUIT, SIGUSR1),
                         [](const ::testing::TestParamInfo<int>& p) {
                           std::string name = sigabbrev_np(p.param);
                           return "SIG" + name;
                         });

TEST_F(DaemonTest, SigtermToWorkerStopsTheWholeDaemon) {
  Running d = startAndFind();
  size_t mark = syslogMark();

  ASSERT_EQ(kill(d.worker, SIGTERM), 0);
  ASSERT_TRUE(waitForLog("Daemon exiting", kDefaultTimeoutMs, mark));
  size_t workerStopped = logPosition("[WORK PROC] Stopped", mark);
  size_t childerStopped = logPosition("[MONITOR] Childer stopped", mark);
  ASSERT_NE(workerStopped, std::string::npos);
  ASSERT_NE(childerStopped, std::string::npos);
  EXPECT_LT(workerStopped, childerStopped);
  EXPECT_LT(childerStopped, logPosition("[MONITOR] Stopped", mark));
  EXPECT_EQ(countLog("[WORK PROC] Started"), 1u) << "the worker was restarted";
  expectFullyStopped();
}

TEST_F(DaemonTest, KilledWorkerIsReplacedAtOnce) {
  Running d = startAndFind();
  size_t mark = syslogMark();

  ASSERT_EQ(kill(d.worker, SIGKILL), 0);
  pid_t next = workerPid(kDefaultTimeoutMs, d.worker);
  ASSERT_GT(next, 0);
  EXPECT_NE(next, d.worker);
  EXPECT_TRUE(processAlive(d.monitor));
  EXPECT_TRUE(waitForLog("[WORK PROC] Started", kDefaultTimeoutMs, mark));
  // The new worker's listener opens the firewall again before it listens.
  EXPECT_TRUE(waitForLog("firewallImpl.reset();", kDefaultTimeoutMs, mark));
  ASSERT_TRUE(waitForControlPort());
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
  // A killed worker is no crash: no report, no pause.
  EXPECT_EQ(countLog("Childer", mark), 0u);
  EXPECT_EQ(countLog("[DAEMON]", mark), 0u);
}

TEST_F(DaemonTest, CrashedWorkerReportsAndIsRestartedAfterAPause) {
  Running d = startAndFind();
  size_t mark = syslogMark();

  ASSERT_EQ(kill(d.worker, SIGSEGV), 0);
  ASSERT_TRUE(waitForLog("[MONITOR] Childer restart", kDefaultTimeoutMs, mark));
  const auto restartSeen = std::chrono::steady_clock::now();
  pid_t next = workerPid(kDefaultTimeoutMs, d.worker);
  const auto nextSeen = std::chrono::steady_clock::now();
  ASSERT_GT(next, 0);
  // The monitor pauses a second before it forks again; a lower bound only,
  // so a slow machine cannot make this fail.
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(nextSeen - restartSeen).count(), 500);

  // The crash report, in order.
  const char* order[] = {"[DAEMON] Signal: Segmentation fault, Addr: 0x", "== Backtrace ==",
                         "== End Backtrace ==", "[DAEMON] Stopped", "[MONITOR] Childer restart"};
  size_t last = mark;
  for (const char* line : order) {
    size_t at = logPosition(line, mark);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_GE(at, last) << line;
    last = at;
  }
  // A signal sent by a process carries no fault address.
  EXPECT_EQ(countLog("[DAEMON] Signal: Segmentation fault, Addr: 0x0000000000000000", mark), 1u);
  // At least one frame between the markers.
  size_t begin = logPosition("== Backtrace ==", mark);
  size_t end = logPosition("== End Backtrace ==", mark);
  EXPECT_GT(countLog("", begin) - countLog("", end), 1u);

  EXPECT_TRUE(processAlive(d.monitor));
  EXPECT_EQ(fileContent(kPidLockFile), std::to_string(d.monitor) + "\n");
  ASSERT_TRUE(waitForLog("[WORK PROC] Started", kDefaultTimeoutMs, mark));
  ASSERT_TRUE(waitForControlPort());
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
}

TEST_F(DaemonTest, SighupIsOnlyLogged) {
  Running d = startAndFind();
  size_t mark = syslogMark();

  ASSERT_EQ(kill(d.monitor, SIGHUP), 0);
  ASSERT_TRUE(waitForLog("Received SIGHUP signal.", kDefaultTimeoutMs, mark));
  ASSERT_EQ(kill(d.worker, SIGHUP), 0);
  ASSERT_TRUE(waitForLogCount("Received SIGHUP signal.", 2, kDefaultTimeoutMs, mark));
  EXPECT_EQ(logSeverity("Received SIGHUP signal.", mark), LOG_WARNING);

  // Nothing else happened: same processes, still serving.
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
  EXPECT_TRUE(processAlive(d.monitor));
  EXPECT_TRUE(processAlive(d.worker));
  EXPECT_EQ(workerPid(), d.worker);
  EXPECT_EQ(countLog("[MONITOR]", mark), 0u);
  EXPECT_EQ(countLog("[WORK PROC]", mark), 0u);
}

TEST_F(DaemonTest, RecordSentInPiecesIsServed) {
  startAndFind();
  MessagePacket packet = makePacket(0);
  UniqueFd fd = connectControl();
  ASSERT_TRUE(fd) << strerror(errno);
  // Three pieces, 1.2 s apart: the whole transfer takes longer than the
  // 2-second receive time-out, which bounds each receive, not the request.
  const size_t cuts[] = {0, 1000, 40000, kMessagePacketSize};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) sleepMs(1200);
    ASSERT_TRUE(sendBytes(fd.get(), packet.bytes + cuts[i], cuts[i + 1] - cuts[i]));
  }
  ReadResult r = readBytes(fd.get(), kMessageReplySize);
  ASSERT_EQ(r.kind, ReadResult::kComplete);
  EXPECT_EQ(r.bytes, std::vector<unsigned char>(kMessageReplySize, 0));
}

TEST_F(DaemonTest, ShortRecordGetsNoReplyAndRunsNothing) {
  startAndFind();
  size_t mark = syslogMark();
  MessagePacket packet = makePacket(5);
  UniqueFd fd = connectControl();
  ASSERT_TRUE(fd);
  ASSERT_TRUE(sendBytes(fd.get(), packet.bytes, kMessagePacketSize - 1));
  ASSERT_EQ(shutdown(fd.get(), SHUT_WR), 0);

  ReadResult r = readBytes(fd.get(), kMessageReplySize);
  EXPECT_EQ(r.kind, ReadResult::kClosed);
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_TRUE(waitForLog("close(client_sock);", kDefaultTimeoutMs, mark));
  EXPECT_EQ(countLog("Receive command", mark), 0u);
}

TEST_F(DaemonTest, SilentClientIsDroppedAfterTwoSeconds) {
  startAndFind();
  UniqueFd fd = connectControl();
  ASSERT_TRUE(fd);
  const auto start = std::chrono::steady_clock::now();
  ReadResult r = readBytes(fd.get(), kMessageReplySize, 6000);
  const auto waited =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.kind, ReadResult::kClosed) << "still connected after " << waited << " ms";
  EXPECT_TRUE(r.bytes.empty());
  EXPECT_GE(waited, 1500);
  EXPECT_TRUE(waitForLog("close(client_sock);"));
  // The daemon still serves.
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
}

TEST_F(DaemonTest, ConcurrentClientsAreAllAnswered) {
  Running d = startAndFind();
  const long threadsBefore = statField(d.worker, 20);
  constexpr int kClients = 200;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  clients.reserve(kClients);
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&answered] {
      auto reply = exchangeRecord(makePacket(0), 20000);
      if (reply == kZeroReply) answered.fetch_add(1);
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(answered.load(), kClients);
  EXPECT_TRUE(waitForLogCount("close(client_sock);", kClients));
  // Every connection thread has ended.
  EXPECT_TRUE(waitUntil([&] { return statField(d.worker, 20) == threadsBefore; }))
      << "worker threads: " << statField(d.worker, 20) << ", before: " << threadsBefore;
}

TEST_F(DaemonTest, ControlPortIsNotReachableOnOtherAddresses) {
  // Give the sandbox a second, non-loopback address.
  CommandResult veth = runCommand(
      "ip link add tfv0 type veth peer name tfv1 && ip addr add 10.23.58.9/24 dev tfv0 && "
      "ip link set tfv1 up && ip link set tfv0 up");
  ASSERT_TRUE(veth.ok()) << veth.output;

  startAndFind();
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
  errno = 0;
  UniqueFd fd = connectControl("10.23.58.9");
  EXPECT_FALSE(fd);
  EXPECT_EQ(errno, ECONNREFUSED) << strerror(errno);
}

TEST_F(DaemonTest, StartedByInitDoesNotDetach) {
  // Started as a child of PID 1 (a nested sandbox's init), the daemon runs
  // no monitor and ends at once.
  EXPECT_EQ(runDaemonUnderInit(), 0);
  size_t up = logPosition("Daemon starting up");
  size_t running = logPosition("Daemon running");
  size_t exiting = logPosition("Daemon exiting");
  ASSERT_NE(up, std::string::npos);
  ASSERT_NE(running, std::string::npos);
  ASSERT_NE(exiting, std::string::npos);
  EXPECT_LT(up, running);
  EXPECT_LT(running, exiting);
  EXPECT_EQ(countLog("[MONITOR]"), 0u);
  EXPECT_EQ(countLog("[WORK PROC]"), 0u);
  EXPECT_EQ(countProcesses("tundrafoxd"), 0);
}

// The sandbox itself: what every other test relies on to leave the machine
// alone.
class SandboxTest : public DaemonTest {};

TEST_F(SandboxTest, MountsArePrivateAndWritableTreesAreInMemory) {
  // No mount may propagate to (or from) the machine.
  std::istringstream mountinfo(fileContent("/proc/self/mountinfo"));
  std::map<std::string, std::string> typeAt;
  for (std::string line; std::getline(mountinfo, line);) {
    EXPECT_EQ(line.find(" shared:"), std::string::npos) << line;
    std::istringstream f(line);
    std::string id, parent, devno, root, mountPoint;
    f >> id >> parent >> devno >> root >> mountPoint;
    size_t dash = line.find(" - ");
    ASSERT_NE(dash, std::string::npos);
    std::istringstream rest(line.substr(dash + 3));
    std::string type;
    rest >> type;
    typeAt[mountPoint] = type;  // the last mount on a point is the visible one
  }
  EXPECT_EQ(typeAt["/etc"], "overlay");
  EXPECT_EQ(typeAt["/usr/share"], "overlay");
  EXPECT_EQ(typeAt["/run"], "tmpfs");
  EXPECT_EQ(typeAt["/tmp"], "tmpfs");
  EXPECT_EQ(typeAt["/var/log"], "tmpfs");
  EXPECT_EQ(typeAt["/dev"], "tmpfs");
  EXPECT_EQ(typeAt["/proc"], "proc");
  EXPECT_NE(getpid(), 1);
}

TEST_F(SandboxTest, NetworkHasOnlyLoopbackUp) {
  CommandResult links = runCommand("ip -o link show");
  ASSERT_TRUE(links.ok()) << links.output;
  EXPECT_EQ(std::count(links.output.begin(), links.output.end(), '\n'), 1) << links.output;
  EXPECT_NE(links.output.find("lo:"), std::string::npos);
  EXPECT_NE(links.output.find("UP"), std::string::npos);
  // The firewall starts empty and open: nothing of the machine's rules.
  CommandResult rules = runCommand("iptables -S");
  ASSERT_TRUE(rules.ok()) << rules.output;
  EXPECT_EQ(rules.output, "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}

TEST_F(SandboxTest, StubsRecordArgumentsAndTakeScriptedResults) {
  CommandResult r = runCommand("sudo systemctl stop 'a b' && timedatectl");
  ASSERT_TRUE(r.ok()) << r.output;
  EXPECT_EQ(stubCalls(),
            (std::vector<std::string>{"sudo [systemctl] [stop] [a b]", "systemctl [stop] [a b]", "timedatectl"}));

  setStubExit("dpkg", 3);
  setStubOutput("who", "alice    :0           2024-01-01 10:00 (:0)\n");
  EXPECT_EQ(WEXITSTATUS(runCommand("dpkg -i /tmp/x.deb").status), 3);
  EXPECT_EQ(runCommand("who").output, "alice    :0           2024-01-01 10:00 (:0)\n");
  EXPECT_TRUE(waitForStubCall("dpkg [-i] [/tmp/x.deb]"));
}

TEST_F(SandboxTest, SystemLogKeepsPriorityAndOneLinePerMessage) {
  ASSERT_TRUE(runCommand("logger -t itest -p user.warning \"$(printf 'two\\nlines')\" && "
                         "logger -t itest -p user.info plain")
                  .ok());
  ASSERT_TRUE(waitForLog("itest: plain"));
  EXPECT_EQ(logSeverity("itest: two\\nlines"), LOG_WARNING);
  EXPECT_EQ(logSeverity("itest: plain"), LOG_INFO);
  EXPECT_EQ(countLog("itest:"), 2u);
}
