// The daemon's processes, signals and control connections, seen from outside.
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

const std::array<unsigned char, kMessageReplySize> kZeroReply{};

// Each text is in a line after `from`, each line after the one before.
void expectLogOrder(size_t from, std::initializer_list<std::string> texts) {
  for (size_t prev = from; const std::string& text : texts) {
    const size_t at = logPosition(text, from);
    EXPECT_TRUE(at != std::string::npos && at >= prev) << text << ": missing or out of order";
    prev = at == std::string::npos ? prev : at + 1;
  }
}

// kill(2) that never signals a whole group (pid 0 or -1 after a failed look-up).
bool sendSignal(pid_t pid, int sig) { return pid > 0 && kill(pid, sig) == 0; }

}  // namespace

// One detached instance with its pid files; SIGHUP is only logged; a SIGKILLed worker is replaced at once, a crashed
// one after its report and a pause. An older, longer pid file leaves no tail; a link planted at the socket-id path
// (in the world-writable /tmp) is replaced, never followed.
TEST_F(DaemonTest, StartsOnceDetachedLogsSighupAndReplacesKilledOrCrashedWorkers) {
  std::ofstream(kPidLockFile) << "1234567890\nstale tail of an older file\n";
  std::ofstream("/tmp/target") << "precious\n";
  ASSERT_EQ(symlink("/tmp/target", kSocketIdFile), 0);
  ASSERT_TRUE(startDaemon());
  const pid_t monitor = monitorPid();
  const std::string m = std::to_string(monitor);
  pid_t worker = workerPid();
  EXPECT_EQ(statField(monitor, 6) + " " + statField(monitor, 4), m + " 1");  // detached: own session, parent PID 1
  EXPECT_EQ(childrenOf(monitor), std::vector<pid_t>{worker});
  const std::string fd = "/proc/" + std::to_string(worker) + "/fd/" + std::to_string(readPidFile(kSocketIdFile));
  std::error_code ec;  // a file of its own, naming the worker's listening socket
  EXPECT_TRUE(fileText("/tmp/target") == "precious\n" && !std::filesystem::is_symlink(kSocketIdFile) &&
              std::filesystem::read_symlink(fd, ec).string().starts_with("socket:")) << fd;

  ASSERT_TRUE(startDaemon());  // the second instance's starter, too, ends with 0
  EXPECT_TRUE(waitForLog("Could not lock PID lock file /var/run/tundrafoxd.pid, exiting"));
  EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 2; }));
  EXPECT_EQ(fileText(kPidLockFile) + fileText(kMonitorPidFile), m + "\n" + m);

  size_t mark = syslogMark();
  ASSERT_TRUE(sendSignal(monitor, SIGHUP) && sendSignal(worker, SIGHUP) &&
              waitForLogCount("Received SIGHUP signal.", 2, kDefaultTimeoutMs, mark));
  EXPECT_EQ(logSeverity("Received SIGHUP signal.", mark), LOG_WARNING);
  EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
  EXPECT_EQ(countLog("[WORK PROC] Started") + countLog("[MONITOR]", mark), 1u);  // the same worker, nothing else

  for (int sig : {SIGKILL, SIGSEGV}) {
    SCOPED_TRACE(sigabbrev_np(sig));
    mark = syslogMark();
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(sendSignal(worker, sig) && (worker = workerPid(kDefaultTimeoutMs, worker)) > 0);
    EXPECT_EQ(exchangeRecord(makePacket(0)), kZeroReply);
    EXPECT_EQ(countLog("Childer", mark) + countLog("[DAEMON]", mark) == 0, sig == SIGKILL);  // no report, no pause
    if (sig == SIGKILL) continue;
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(500));  // the pause: 1 s
    // A signal sent by a process carries no fault address.
    expectLogOrder(mark, {"[DAEMON] Signal: Segmentation fault, Addr: 0x0000000000000000", "== Backtrace ==",
                          "== End Backtrace ==", "[DAEMON] Stopped", "[MONITOR] Childer restart",
                          "[WORK PROC] Started"});
    const size_t trace = logPosition("== Backtrace ==", mark), end = logPosition("== End Backtrace ==", mark);
    EXPECT_GT(countLog("", trace) - countLog("", end), 1u) << "no frame between the markers";
  }
}

// Each of the monitor's stop signals, and SIGTERM to the worker, ends the
// whole daemon: both processes, the pid lock file and the port.
TEST_F(DaemonTest, StopSignalsStopTheWholeDaemon) {
  const std::pair<int, bool> cases[] = {{SIGTERM, false}, {SIGINT, false}, {SIGQUIT, false}, {SIGUSR1, false},
                                        {SIGTERM, true}};
  for (const auto& [sig, toWorker] : cases) {
    SCOPED_TRACE(std::string(toWorker ? "worker " : "monitor ") + sigabbrev_np(sig));
    ASSERT_TRUE(startDaemon());
    const size_t mark = syslogMark();
    ASSERT_TRUE(sendSignal(toWorker ? workerPid() : monitorPid(), sig));
    ASSERT_TRUE(waitForLog("Daemon exiting", kDefaultTimeoutMs, mark));
    const std::string first = toWorker ? "[WORK PROC] Stopped" : "[MONITOR] Signal " + std::string(strsignal(sig));
    expectLogOrder(mark, {first, toWorker ? "[MONITOR] Childer stopped" : "[MONITOR] Stopped", "Daemon exiting"});
    EXPECT_TRUE(waitUntil([] { return countProcesses("tundrafoxd") == 0 && access(kPidLockFile, F_OK) != 0; }) &&
                !controlPortListening());
    // The monitor does not wait for its worker: the worker's line may come after the monitor's last.
    EXPECT_EQ(countLog("[WORK PROC] Stopped", mark), 1u);
    EXPECT_EQ(countLog(toWorker ? "[WORK PROC] Started" : "Childer", mark), 0u);
  }
}

// Only a whole record is served, however slowly it arrives; a client that sends less is dropped unanswered (silent
// ones: see the burst test); other addresses are refused.
TEST_F(DaemonTest, RecordInPiecesIsServedShortOrNonLoopbackClientsAreNot) {
  ASSERT_TRUE(runCommand("ip addr add 10.23.58.9/32 dev lo").ok());
  ASSERT_TRUE(startDaemon());
  EXPECT_TRUE(!connectControl("10.23.58.9") && errno == ECONNREFUSED) << strerror(errno);
  // Three pieces 1.2 s apart: longer than the 2-second receive time-out, which bounds each receive, not the request.
  UniqueFd fd = connectControl();
  const size_t cuts[] = {0, 1000, 40000, kMessagePacketSize};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) sleepMs(1200);
    ASSERT_TRUE(sendBytes(fd.get(), makePacket(0).bytes + cuts[i], cuts[i + 1] - cuts[i]));
  }
  EXPECT_EQ(readBytes(fd.get(), kMessageReplySize).bytes, std::vector<unsigned char>(kMessageReplySize, 0));

  const size_t mark = syslogMark();  // 64004 bytes of a command 5 record, then the client's end
  fd = connectControl();
  ASSERT_TRUE(sendBytes(fd.get(), makePacket(5).bytes, kMessagePacketSize - 1) && shutdown(fd.get(), SHUT_WR) == 0);
  const ReadResult r = readBytes(fd.get(), kMessageReplySize);
  EXPECT_TRUE(r.kind == ReadResult::kClosed && r.bytes.empty()) << "short record answered";
  EXPECT_EQ(countLog("Receive command", mark), 0u);
}

TEST_F(DaemonTest, StartedByInitDoesNotDetach) {
  // As a child of PID 1 (a nested sandbox's init) it runs no monitor and ends at once.
  EXPECT_EQ(runDaemonUnderInit(), 0);
  expectLogOrder(0, {"Daemon starting up", "Daemon running", "Daemon exiting"});
  EXPECT_EQ(countLog("[MONITOR]") + countLog("[WORK PROC]"), 0u);
  EXPECT_EQ(countProcesses("tundrafoxd"), 0);
}

// The sandbox every test relies on to leave the machine alone: private
// mounts, in-memory writable trees, only lo, an empty open firewall.
TEST_F(DaemonTest, SandboxIsolatesMountsAndNetwork) {
  EXPECT_EQ(runCommand("stat -f -c %T /etc /usr/share /run /tmp /var/log /dev /proc | tr '\\n' ' '; "
                       "findmnt -nro PROPAGATION | grep -c shared; ip -br link | tr -s ' '; iptables -S").output,
            "overlayfs overlayfs tmpfs tmpfs tmpfs tmpfs proc 0\nlo UNKNOWN 00:00:00:00:00:00 <LOOPBACK,UP,LOWER_UP> \n"
            "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n");
}
