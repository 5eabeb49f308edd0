// Helpers for integration tests that drive the real tundrafoxd binary.
//
// The test binary's main runs each test in its own fresh sandbox
// (tools/sandbox): empty /run, /tmp and /var/log, in-memory writable /etc and
// /usr/share, a network namespace with only `lo`, recording stubs first on
// PATH (less the real programs kSandboxFlags in itest_main.cpp gives a test),
// and everything left running killed at the end. Tests need no
// clean-up and may change anything there. `DaemonTest` fails a test that is
// not in a sandbox or after which a sanitizer report exists, and prints the
// tails of the logs on failure. Waits poll every 10 ms and report false once
// `timeoutMs` (default kDefaultTimeoutMs) have passed.
//
// Files inside the sandbox:
//   /var/log/sandbox/syslog     one line per system-log datagram, "<PRI>"
//                               prefix kept, each newline of a message shown
//                               as the two characters "\n".
//   /var/log/sandbox/stubs.log  one line per stub call, "NAME [ARG1] ..." for
//                               timedatectl openvpn dpkg systemctl su sudo
//                               who pgrep (`sudo` then runs its arguments).
//   /var/log/sandbox/NAME.exit  exit status for stub NAME (default 0);
//   /var/log/sandbox/NAME.out   its standard output.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "control/message.h"
#include "base/unique_fd.h"

namespace itest {

inline constexpr int kDefaultTimeoutMs = 5000;
inline constexpr const char kPidLockFile[] = "/var/run/tundrafoxd.pid";
inline constexpr const char kMonitorPidFile[] = "/var/run/tundrafoxd_child.pid";
inline constexpr const char kSocketIdFile[] = "/tmp/tundrafoxd-socket.id";
inline constexpr const char kDataDir[] = "/usr/share/tundra_fox";

// The control tool ("" when this build has none) and the sandbox program.
const std::string& ctlPath();
const std::string& sandboxPath();

// True when this process runs inside a tundrafox-sandbox (SANDBOX_DIR is set
// and the network namespace is not the one the sandbox was started from).
bool insideSandbox();

// The whole content of a file, "" when it cannot be read.
std::string fileText(const std::string& path);

// Calls `done` every `pollMs` until it returns true (then true) or
// `timeoutMs` have passed (then false; `done` is tried one last time).
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kDefaultTimeoutMs, int pollMs = 10);
// For the few places where a test must show that something does NOT happen.
void sleepMs(int ms);

// ---- The daemon. ----

// Starts the daemon as a child of this process (so not of PID 1: it
// detaches), with `args` after the program name. The starting process must
// end with status 0; then waits until a worker listens on 127.0.0.1:23589
// (the port listens and the socket-id file names a socket).
// False (with the reason in *why, if given) when any step fails.
bool startDaemon(std::string* why = nullptr, const std::vector<std::string>& args = {});
// Runs the daemon in a nested sandbox, as a child of its PID 1 (so it does
// not detach), its log lines appended to this sandbox's log. Returns its exit
// status (128 + signal when killed), -1 on failure.
int runDaemonUnderInit(int timeoutMs = kDefaultTimeoutMs);
// True while something listens on TCP port 23589 (read from /proc/net/tcp:
// no connection, so the daemon logs nothing).
bool controlPortListening();
inline bool waitForControlPort(int timeoutMs = kDefaultTimeoutMs) {
  return waitUntil(controlPortListening, timeoutMs);
}
// SIGTERM to the monitor; true when the pid lock file and every tundrafoxd
// process are gone in time.
bool stopDaemon(int timeoutMs = kDefaultTimeoutMs);

// ---- Processes. ----

// A pid from a text file ("%d", trailing white space allowed); -1 when the
// file is missing or holds no number.
pid_t readPidFile(const std::string& path = kPidLockFile);
// The monitor, from the pid lock file (-1 if none).
inline pid_t monitorPid() { return readPidFile(kPidLockFile); }
// Field `index` (1-based, as in proc(5)) of /proc/PID/stat, "" if none.
std::string statField(pid_t pid, int index);
// Living (not zombie) children of `parent`.
std::vector<pid_t> childrenOf(pid_t parent);
// The monitor's worker (its living child other than `notPid`), waiting up to
// `timeoutMs` for one to exist; -1 when none appears.
pid_t workerPid(int timeoutMs = kDefaultTimeoutMs, pid_t notPid = -1);
// True while `pid` exists and is not a zombie whose threads have all ended.
bool processAlive(pid_t pid);
inline bool waitProcessGone(pid_t pid, int timeoutMs = kDefaultTimeoutMs) {
  return waitUntil([pid] { return !processAlive(pid); }, timeoutMs);
}
// Number of living processes whose /proc/PID/comm is `comm`.
int countProcesses(const std::string& comm);

// ---- The system log. ----
// Every reader first makes sure that each line logged before the call is in
// the file, so a line logged before a reply arrived is seen by a later check.

// A position after every line logged so far: pass it as `from` to look only
// at later lines.
size_t syslogMark();
// Waits until a line after `from` contains `text` (at least `count` lines).
bool waitForLogCount(const std::string& text, size_t count, int timeoutMs = kDefaultTimeoutMs, size_t from = 0);
inline bool waitForLog(const std::string& text, int timeoutMs = kDefaultTimeoutMs, size_t from = 0) {
  return waitForLogCount(text, 1, timeoutMs, from);
}
// Number of lines after `from` that contain `text`.
size_t countLog(const std::string& text, size_t from = 0);
// Severity (0..7) of the first line after `from` containing `text`, or -1.
int logSeverity(const std::string& text, size_t from = 0);
// Byte offset of the first line after `from` containing `text`, or npos.
size_t logPosition(const std::string& text, size_t from = 0);

// ---- The stubs. ----

// All recorded calls, one line each ("NAME [ARG] ...").
std::vector<std::string> stubCalls();
// Waits until a recorded call line starts with `prefix`.
bool waitForStubCall(const std::string& prefix, int timeoutMs = kDefaultTimeoutMs);
// Makes stub `name` exit with `status` from now on.
void setStubExit(const std::string& name, int status);


// ---- The control connection. ----

// A zeroed request record with `command` in its first four bytes
// (little-endian).
MessagePacket makePacket(int32_t command);
// Connects to `address`:`port` (blocking, close-on-exec); an invalid UniqueFd
// with errno set (e.g. ECONNREFUSED) on failure.
UniqueFd connectControl(const std::string& address = "127.0.0.1", int port = 23589);
// Sends all `len` bytes, each send bounded by `timeoutMs`.
bool sendBytes(int fd, const void* data, size_t len, int timeoutMs = kDefaultTimeoutMs);

struct ReadResult {
  enum Kind {
    kComplete,  // `len` bytes arrived
    kClosed,    // the peer closed (or reset) before `len` bytes
    kTimeout,   // nothing more within the time-out
    kError,
  } kind = kError;
  std::vector<unsigned char> bytes;  // whatever arrived
};
// Reads up to `len` bytes, waiting at most `timeoutMs` in total.
ReadResult readBytes(int fd, size_t len, int timeoutMs = kDefaultTimeoutMs);

// Connects to 127.0.0.1:23589, sends the record and reads the 9-byte reply;
// nullopt when any step fails.
std::optional<std::array<unsigned char, kMessageReplySize>> exchangeRecord(const MessagePacket& packet,
                                                                           int timeoutMs = kDefaultTimeoutMs);

// ---- Other programs. ----

struct CommandResult {
  int status = -1;     // wait status, -1 if not started
  std::string output;  // standard output and error, interleaved
  bool ok() const;     // exited with status 0
};
// Runs `shellCommand` with /bin/sh -c and captures its output; refuses
// (status -1) outside a sandbox.
CommandResult runCommand(const std::string& shellCommand);
// Runs the control tool with `args`; status -1 when this build has none.
CommandResult runCtl(const std::vector<std::string>& args);

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace itest
