// The daemon's processes, signals and control connections, seen from
// outside: the real binary in a sandbox.

#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::array<unsigned char, kMessageReplySize> kZeroReply{};

struct Running {
  pid_t monitor = -1;
  pid_t worker = -1;
};

// Starts the daemon and finds its two processes.
Running startAndFind() {
  std::string why;
  EXPECT_TRUE(startDaemon(&why)) << why;
  Running r{monitorPid(), workerPid()};
  EXPECT_GT(r.monitor, 0);
  EXPECT_GT(r.worker, 0);
  return r;
}

// Each text is in a line after `from`, each line after the one before.
void expectLogOrder(std::initializer_list<std::string> texts, size_t from) {
  long long prev = -1;
  for (const std::string& text : texts) {
    const size_t at = logPosition(text, from);
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_GT(static_cast<long long>(at), prev) << text << ": out of order";
    prev = static_cast<long long>(at);
  }
}

// kill(2) that never signals a whole group (pid 0 or -1 after a failed look-up).
bool sendSignal(pid_t pid, int sig) { return pid > 0 && kill(pid, sig) == 0; }

}  // namespace

TEST_F(DaemonTest, StartDetachesWritesPidFilesAndRefusesASecondInstance) {
  // A longer text from an earlier run must not leave its tail behind.
  std::ofstream(kPidLockFile) << "1234567890\nstale tail of an older file\n";
  Running d = startAndFind();
  ASSERT_GT(d.monitor, 0);
  EXPECT_EQ(fileText(kPidLockFile), std::to_string(d.monitor) + "\n");
  EXPECT_EQ(fileText(kMonitorPidFile), std::to_string(d.monitor));
  // Detached: its own session, adopted by PID 1 once the starter ended.
  EXPECT_EQ(statField(d.monitor, 6), std::to_string(d.monitor)) << "monitor is not a session leader";
  EXPECT_EQ(statField(d.monitor, 4), "1");
  EXPECT_EQ(childrenOf(d.monitor), std::vector<pid_t>{d.worker});
  // The socket-id file names the worker's listening socket.
  char link[256] = {};
  std::string fdPath = "/proc/" + std::to_string(d.worker) + "/fd/" + std::to_string(readPidFile(kSocketIdFile));
  ASSERT_GT(readlink(fdPath.c_str(), link, sizeof link - 1), 0) << fdPath;
  EXPECT_EQ(std::string(link).rfind("socket:", 0), 0u) << link;
  for (const char* line : {"Daemon starting up", "[WORK PROC] Started", "firewallImpl.reset();"})
    EXPECT_TRUE(waitForLog(line)) << line;

  // A second instance ends (its starter with status 0) and leaves the first alone.
  std::string why;
  ASSERT_TRUE(startDaemon(&why)) << why;
  EXPECT_TRUE(waitForLog("Could not lock PID lock file /var/run/tundrafoxd.pid, exiting"));
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 2; }));
  EXPECT_EQ(fileText(kPidLockFile), std::to_string(d.monitor) + "\n");
  EXPECT_TRUE(processAlive(d.monitor) && processAlive(d.worker));
  EXPECT_EQ(countLog("[WORK PROC] Started"), 1u);
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
}

// Each of the monitor's stop signals, and SIGTERM to the worker, ends the
// whole daemon: both processes, the pid lock file and the port.
TEST_F(DaemonTest, StopSignalsStopTheWholeDaemon) {
  const std::pair<int, bool> cases[] = {
      {SIGTERM, false}, {SIGINT, false}, {SIGQUIT, false}, {SIGUSR1, false}, {SIGTERM, true}};
  for (const auto& [sig, toWorker] : cases) {
    SCOPED_TRACE(std::string(toWorker ? "worker " : "monitor ") + sigabbrev_np(sig));
    Running d = startAndFind();
    size_t mark = syslogMark();
    ASSERT_TRUE(sendSignal(toWorker ? d.worker : d.monitor, sig));
    ASSERT_TRUE(waitForLog("Daemon exiting", kDefaultTimeoutMs, mark));
    EXPECT_TRUE(waitForLog("[WORK PROC] Stopped", kDefaultTimeoutMs, mark));
    if (toWorker) {
      expectLogOrder({"[WORK PROC] Stopped", "[MONITOR] Childer stopped", "[MONITOR] Stopped"}, mark);
    } else {
      expectLogOrder({std::string("[MONITOR] Signal ") + strsignal(sig), "[MONITOR] Stopped", "Daemon exiting"}, mark);
      EXPECT_EQ(countLog("Childer", mark), 0u);
    }
    EXPECT_EQ(countLog("[WORK PROC] Started", mark), 0u) << "the worker was restarted";
    EXPECT_TRUE(waitProcessGone(d.monitor) && waitProcessGone(d.worker));
    EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0; })) << "daemon processes left";
    EXPECT_NE(access(kPidLockFile, F_OK), 0);
    EXPECT_TRUE(waitUntil([] { return !controlPortListening(); })) << "port 23589 still listens";
  }
}

// SIGKILL: the worker is replaced at once, with no crash report. SIGSEGV: a
// crash report, then a new worker after a pause. The monitor stays either way.
TEST_F(DaemonTest, KilledWorkerIsReplacedAtOnceACrashedOneAfterAReport) {
  Running d = startAndFind();
  auto expectReplaced = [&d](pid_t old, size_t mark) {
    const pid_t next = workerPid(kDefaultTimeoutMs, old);
    EXPECT_GT(next, 0);
    // The new worker's listener opens the firewall again before it listens.
    EXPECT_TRUE(waitForLog("[WORK PROC] Started", kDefaultTimeoutMs, mark));
    EXPECT_TRUE(waitForLog("firewallImpl.reset();", kDefaultTimeoutMs, mark));
    EXPECT_TRUE(waitForControlPort());
    EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
    EXPECT_TRUE(processAlive(d.monitor));
    EXPECT_EQ(fileText(kPidLockFile), std::to_string(d.monitor) + "\n");
    return next;
  };
  size_t mark = syslogMark();
  ASSERT_TRUE(sendSignal(d.worker, SIGKILL));
  const pid_t worker = expectReplaced(d.worker, mark);
  EXPECT_EQ(countLog("Childer", mark) + countLog("[DAEMON]", mark), 0u);

  mark = syslogMark();
  ASSERT_TRUE(sendSignal(worker, SIGSEGV));
  ASSERT_TRUE(waitForLog("[MONITOR] Childer restart", kDefaultTimeoutMs, mark));
  const auto restartSeen = std::chrono::steady_clock::now();
  expectReplaced(worker, mark);
  // The monitor pauses a second before it forks again; a lower bound only,
  // so a slow machine cannot make this fail.
  EXPECT_GE(std::chrono::steady_clock::now() - restartSeen, std::chrono::milliseconds(500));
  expectLogOrder({"[DAEMON] Signal: Segmentation fault, Addr: 0x", "== Backtrace ==", "== End Backtrace ==",
                  "[DAEMON] Stopped", "[MONITOR] Childer restart"},
                 mark);
  // A signal sent by a process carries no fault address.
  EXPECT_EQ(countLog("[DAEMON] Signal: Segmentation fault, Addr: 0x0000000000000000", mark), 1u);
  // At least one frame between the markers.
  EXPECT_GT(countLog("", logPosition("== Backtrace ==", mark)) - countLog("", logPosition("== End Backtrace ==", mark)),
            1u);
}

TEST_F(DaemonTest, SighupIsOnlyLogged) {
  Running d = startAndFind();
  size_t mark = syslogMark();
  ASSERT_TRUE(sendSignal(d.monitor, SIGHUP));
  ASSERT_TRUE(waitForLog("Received SIGHUP signal.", kDefaultTimeoutMs, mark));
  ASSERT_TRUE(sendSignal(d.worker, SIGHUP));
  ASSERT_TRUE(waitForLogCount("Received SIGHUP signal.", 2, kDefaultTimeoutMs, mark));
  EXPECT_EQ(logSeverity("Received SIGHUP signal.", mark), LOG_WARNING);
  // Nothing else happened: same processes, still serving.
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
  EXPECT_TRUE(processAlive(d.monitor));
  EXPECT_EQ(workerPid(), d.worker);
  EXPECT_EQ(countLog("[MONITOR]", mark) + countLog("[WORK PROC]", mark), 0u);
}

// Only a whole record is served, however slowly it arrives; a client that
// sends less, or nothing, is dropped without a reply.
TEST_F(DaemonTest, RecordInPiecesIsServedShortOrSilentClientsAreDropped) {
  startAndFind();
  const MessagePacket packet = makePacket(0);
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

  // 64004 bytes of a command 5 record, then the client closes its side.
  size_t mark = syslogMark();
  fd = connectControl();
  ASSERT_TRUE(fd && sendBytes(fd.get(), makePacket(5).bytes, kMessagePacketSize - 1));
  ASSERT_EQ(shutdown(fd.get(), SHUT_WR), 0);
  r = readBytes(fd.get(), kMessageReplySize);
  EXPECT_TRUE(r.kind == ReadResult::kClosed && r.bytes.empty()) << "short record answered";
  EXPECT_TRUE(waitForLog("close(client_sock);", kDefaultTimeoutMs, mark));
  EXPECT_EQ(countLog("Receive command", mark), 0u);

  // A silent client is dropped after the 2-second receive time-out.
  fd = connectControl();
  const auto start = std::chrono::steady_clock::now();
  r = readBytes(fd.get(), kMessageReplySize, 6000);
  EXPECT_TRUE(r.kind == ReadResult::kClosed && r.bytes.empty()) << "silent client still connected or answered";
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_EQ(exchangeRecord(packet), kZeroReply);  // and the daemon serves on
}

TEST_F(DaemonTest, ConcurrentClientsAreAllAnswered) {
  Running d = startAndFind();
  const std::string threadsBefore = statField(d.worker, 20);
  constexpr int kClients = 200;
  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i)
    clients.emplace_back([&answered] {
      if (exchangeRecord(makePacket(0), 20000) == kZeroReply) answered.fetch_add(1);
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(answered.load(), kClients);
  EXPECT_TRUE(waitForLogCount("close(client_sock);", kClients));
  // Every connection thread has ended.
  EXPECT_TRUE(waitUntil([&] { return statField(d.worker, 20) == threadsBefore; }))
      << "worker threads: " << statField(d.worker, 20) << ", before: " << threadsBefore;
}

TEST_F(DaemonTest, ControlPortIsNotReachableOnOtherAddresses) {
  CommandResult veth = runCommand(
      "ip link add tfv0 type veth peer name tfv1 && ip addr add 10.23.58.9/24 dev tfv0 && "
      "ip link set tfv1 up && ip link set tfv0 up");
  ASSERT_TRUE(veth.ok()) << veth.output;
  startAndFind();
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
  errno = 0;
  EXPECT_FALSE(connectControl("10.23.58.9"));
  EXPECT_EQ(errno, ECONNREFUSED) << strerror(errno);
}

TEST_F(DaemonTest, StartedByInitDoesNotDetach) {
  // As a child of PID 1 (a nested sandbox's init) the daemon runs no
  // monitor and ends at once.
  EXPECT_EQ(runDaemonUnderInit(), 0);
  expectLogOrder({"Daemon starting up", "Daemon running", "Daemon exiting"}, 0);
  EXPECT_EQ(countLog("[MONITOR]") + countLog("[WORK PROC]"), 0u);
  EXPECT_EQ(countProcesses("tundrafoxd"), 0);
}

// The sandbox itself, which every test relies on to leave the machine alone:
// private mounts, in-memory writable trees, a network with only lo and an
// empty, open firewall.
TEST_F(DaemonTest, SandboxIsolatesMountsAndNetwork) {
  std::istringstream mountinfo(fileText("/proc/self/mountinfo"));
  std::map<std::string, std::string> typeAt;  // the last mount on a point is the visible one
  for (std::string line; std::getline(mountinfo, line);) {
    EXPECT_EQ(line.find(" shared:"), std::string::npos) << line;
    std::istringstream f(line), rest(line.substr(line.find(" - ") + 3));
    std::string skip, mountPoint, type;
    f >> skip >> skip >> skip >> skip >> mountPoint;
    rest >> type;
    typeAt[mountPoint] = type;
  }
  std::string seen;
  for (const char* point : {"/etc", "/usr/share", "/run", "/tmp", "/var/log", "/dev", "/proc"})
    seen.append(point).append("=").append(typeAt[point]).append(" ");
  EXPECT_EQ(seen, "/etc=overlay /usr/share=overlay /run=tmpfs /tmp=tmpfs /var/log=tmpfs /dev=tmpfs /proc=proc ");

  CommandResult links = runCommand("ip -o link show");
  ASSERT_TRUE(links.ok()) << links.output;
  EXPECT_TRUE(std::count(links.output.begin(), links.output.end(), '\n') == 1 &&
              links.output.find("lo:") != std::string::npos && links.output.find("UP") != std::string::npos)
      << links.output;
  CommandResult rules = runCommand("iptables -S");
  ASSERT_TRUE(rules.ok()) << rules.output;
  EXPECT_EQ(rules.output, "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}
