// Helpers for integration tests that drive the real tundrafoxd binary.
//
// Every integration test runs in its own fresh sandbox (tests/harness): the
// test binary's main starts `tundrafox-sandbox -- <itself>
// --gtest_filter=<one test>` for each test, so each test sees an empty /run,
// /tmp and /var/log, writable in-memory /etc and /usr/share, its own network
// namespace with only `lo`, and recording stubs first on PATH. Whatever a
// test leaves running is killed when it ends. Tests therefore need no
// clean-up of their own and may change anything in the sandbox: run
// iptables, write /etc/timezone, kill the daemon.
//
// Writing a test:
//
//   #include "support/daemon_fixture.h"
//   using namespace itest;
//
//   TEST_F(DaemonTest, AnswersAZeroCommand) {
//     ASSERT_TRUE(startDaemon());                   // detached, port open
//     auto reply = exchangeRecord(makePacket(0));   // 64005 bytes out, 9 in
//     ASSERT_TRUE(reply.has_value());
//     EXPECT_EQ((*reply)[0], 0);
//     EXPECT_TRUE(waitForLog("Receive command: 0"));
//     EXPECT_TRUE(waitForStubCall("timedatectl [set-timezone] [Europe/Oslo]"));
//     auto rules = runCommand("iptables-save");
//     EXPECT_NE(rules.output.find("-P INPUT ACCEPT"), std::string::npos);
//   }
//
// `DaemonTest` checks in SetUp that the test really is inside a sandbox (its
// network namespace differs from the one the sandbox was started from) and
// fails the test otherwise, before anything runs. In TearDown it fails the
// test when a sanitizer report of the daemon exists, and on any failure it
// prints the system log and the stubs log.
//
// All waits are bounded: they poll every 10 ms and give up after the given
// time (default kDefaultTimeoutMs) and report false. Use them in
// ASSERT_TRUE/EXPECT_TRUE.
//
// Files inside the sandbox:
//   /var/log/sandbox/syslog     every system-log datagram, one per line,
//                               "<PRI>" prefix kept (e.g. "<12>" = user.warning,
//                               "<14>" = user.info), every newline of a
//                               message (a trailing one too) shown as the
//                               two characters "\n": "[MONITOR] Stopped\n"
//                               logs as `... [MONITOR] Stopped\n`.
//   /var/log/sandbox/stubs.log  one line per stub call:
//                               "NAME [ARG1] [ARG2] ..." (each argument in
//                               brackets). Stubs: timedatectl openvpn dpkg
//                               systemctl su sudo who pgrep. `sudo` runs its
//                               arguments after recording.
//   /var/log/sandbox/NAME.exit  exit status for stub NAME (default 0).
//   /var/log/sandbox/NAME.out   standard output for stub NAME.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "control/message.h"
#include "daemon/unique_fd.h"

namespace itest {

inline constexpr int kDefaultTimeoutMs = 5000;
inline constexpr int kControlPort = 23589;
inline constexpr const char kPidLockFile[] = "/var/run/tundrafoxd.pid";
inline constexpr const char kMonitorPidFile[] = "/var/run/tundrafoxd_child.pid";
inline constexpr const char kSocketIdFile[] = "/tmp/tundrafoxd-socket.id";
inline constexpr const char kDataDir[] = "/usr/share/tundra_fox";
inline constexpr const char kSandboxDir[] = "/var/log/sandbox";
inline constexpr const char kSyslogFile[] = "/var/log/sandbox/syslog";
inline constexpr const char kStubsLogFile[] = "/var/log/sandbox/stubs.log";

// ---- Built programs (absolute paths, fixed at build time). ----

// The daemon binary under test.
const std::string& daemonPath();
// The control tool, or "" when this build has none.
const std::string& ctlPath();
// The sandbox program and the stub directory.
const std::string& sandboxPath();
const std::string& stubDir();

// True when this process runs inside a tundrafox-sandbox (SANDBOX_DIR is set
// and the network namespace is not the one the sandbox was started from).
bool insideSandbox();

// ---- Waiting. ----

// Calls `done` every `pollMs` until it returns true (then true) or
// `timeoutMs` have passed (then false; `done` is tried one last time).
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kDefaultTimeoutMs, int pollMs = 10);

// Sleeps; for the few places where a test must show that something does NOT
// happen within a time.
void sleepMs(int ms);

// ---- Starting and stopping the daemon. ----

// Starts the daemon as a child of this process (so not of PID 1: it
// detaches), with `args` after the program name. The starting process must
// end with status 0; then waits until 127.0.0.1:23589 accepts connections.
// Returns false (with the reason in *why, if given) when any step fails.
bool startDaemon(std::string* why = nullptr, const std::vector<std::string>& args = {});

// Runs the daemon binary in a nested sandbox, where its parent is that
// sandbox's PID 1 (so it does not detach). Its system-log lines are
// appended to this sandbox's syslog file. Returns the daemon's wait status as
// the sandbox reports it (exit status, or 128 + signal), -1 on failure.
int runDaemonUnderInit(int timeoutMs = kDefaultTimeoutMs);

// True while some socket listens on TCP port 23589 (read from
// /proc/net/tcp: checking opens no connection, so the daemon logs nothing).
bool controlPortListening();
// Waits until port 23589 listens (e.g. after a worker restart).
bool waitForControlPort(int timeoutMs = kDefaultTimeoutMs);

// Sends SIGTERM to the monitor and waits until the pid lock file is gone and
// no tundrafoxd process is left. Returns true when that happened in time.
bool stopDaemon(int timeoutMs = kDefaultTimeoutMs);

// ---- Processes. ----

// Reads a pid from a text file ("%d" with optional trailing white space).
// Returns -1 when the file is missing or holds no number.
pid_t readPidFile(const std::string& path = kPidLockFile);
// The monitor, from the pid lock file (-1 if none).
pid_t monitorPid();
// Living (not zombie) children of `parent`, from /proc.
std::vector<pid_t> childrenOf(pid_t parent);
// The monitor's worker: its single living child. Waits up to `timeoutMs` for
// one to exist; -1 when none appears. Pass `notPid` to wait for a worker
// other than that one (a restarted worker).
pid_t workerPid(int timeoutMs = kDefaultTimeoutMs, pid_t notPid = -1);
// True while `pid` exists and is not a zombie whose threads have all ended.
bool processAlive(pid_t pid);
// Waits until `pid` is gone (or a zombie).
bool waitProcessGone(pid_t pid, int timeoutMs = kDefaultTimeoutMs);
// Number of living processes whose command name (/proc/PID/comm) is `comm`.
int countProcesses(const std::string& comm);

// ---- The system log (/var/log/sandbox/syslog). ----

// The whole log (or its part after byte offset `from`), complete up to
// this call (see syncSyslog).
std::string readSyslog(size_t from = 0);
// A position in the log after every line that was logged before this call.
// Pass it as `from` to look only at later lines.
size_t syslogMark();
// Waits (briefly, at most 2 s) until every line logged before this call is
// in the log file. Every reader above does this first, so a line logged
// before a reply arrived is always seen by a check made after it.
bool syncSyslog();
// Waits until a line after `from` contains `text`.
bool waitForLog(const std::string& text, int timeoutMs = kDefaultTimeoutMs, size_t from = 0);
// Waits until `text` occurs in at least `count` lines after `from`.
bool waitForLogCount(const std::string& text, size_t count, int timeoutMs = kDefaultTimeoutMs, size_t from = 0);
// Number of lines after `from` that contain `text`.
size_t countLog(const std::string& text, size_t from = 0);
// Severity (LOG_EMERG..LOG_DEBUG, 0..7) of the first line after `from` that
// contains `text`, or -1 when there is none.
int logSeverity(const std::string& text, size_t from = 0);
// Byte offset of the first line after `from` containing `text`, or npos;
// for checking the order of lines.
size_t logPosition(const std::string& text, size_t from = 0);

// ---- The stubs log (/var/log/sandbox/stubs.log). ----

// All recorded calls, one line each ("NAME [ARG] ...").
std::vector<std::string> stubCalls();
// Waits until a recorded call line starts with `prefix`.
bool waitForStubCall(const std::string& prefix, int timeoutMs = kDefaultTimeoutMs);
// Makes stub `name` exit with `status` / print `output` from now on.
void setStubExit(const std::string& name, int status);
void setStubOutput(const std::string& name, const std::string& output);

// ---- The control connection. ----

// A zeroed request record with `command` in its first four bytes
// (little-endian).
MessagePacket makePacket(int32_t command);

// Connects to `address`:`port` (TCP). Returns an invalid UniqueFd (errno
// set, e.g. ECONNREFUSED) on failure. Blocking socket, close-on-exec.
UniqueFd connectControl(const std::string& address = "127.0.0.1", int port = kControlPort);

// Sends all `len` bytes, each send bounded by `timeoutMs`. True when all
// bytes were handed to the system.
bool sendBytes(int fd, const void* data, size_t len, int timeoutMs = kDefaultTimeoutMs);

// What came back on a connection.
struct ReadResult {
  enum Kind {
    kComplete,  // `len` bytes arrived
    kClosed,    // the peer closed (or reset) before `len` bytes
    kTimeout,   // nothing more within the time-out
    kError,     // another error
  } kind = kError;
  std::vector<unsigned char> bytes;  // whatever arrived
};
// Reads up to `len` bytes, waiting at most `timeoutMs` in total.
ReadResult readBytes(int fd, size_t len, int timeoutMs = kDefaultTimeoutMs);

// One whole exchange: connect to 127.0.0.1:23589, send the 64005-byte
// record, read the 9-byte reply. nullopt when any step fails.
std::optional<std::array<unsigned char, kMessageReplySize>> exchangeRecord(const MessagePacket& packet,
                                                                           int timeoutMs = kDefaultTimeoutMs);

// ---- Other programs. ----

struct CommandResult {
  int status = -1;     // wait status as from waitpid, -1 if not started
  std::string output;  // standard output and standard error, interleaved
  bool ok() const;     // exited with status 0
};
// Runs `shellCommand` with /bin/sh -c inside the sandbox and captures its
// output (e.g. runCommand("iptables-save")). Refuses (status -1) outside a
// sandbox.
CommandResult runCommand(const std::string& shellCommand);

// Runs the control tool with `args`; status -1 when this build has none.
CommandResult runCtl(const std::vector<std::string>& args);

// ---- Fixture. ----

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace itest
