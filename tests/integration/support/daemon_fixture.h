// Helpers for integration tests of the real tundrafoxd. itest_main.cpp runs each test in a fresh tools/sandbox
// (empty /run, /tmp, /var/log; in-memory /etc and /usr/share; only `lo`; recording stubs first on PATH; everything
// killed at the end). Waits poll every 10 ms and give false after `timeoutMs`. In /var/log/sandbox: "syslog" (a
// line per datagram, "<PRI>" kept, inner newlines as "\n"), "stubs.log" (a line "NAME [ARG1] ..." per call of the
// timedatectl openvpn dpkg systemctl su sudo who pgrep stubs; `sudo` runs its arguments), "NAME.exit" and
// "NAME.out" (a stub's exit status and output).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "control/message.h"

namespace itest {

inline constexpr int kDefaultTimeoutMs = 5000;
inline constexpr const char kPidLockFile[] = "/var/run/tundrafoxd.pid";
inline constexpr const char kMonitorPidFile[] = "/var/run/tundrafoxd_child.pid";
inline constexpr const char kSocketIdFile[] = "/tmp/tundrafoxd-socket.id";
inline constexpr const char kDataDir[] = "/usr/share/tundra_fox";

inline const std::string& ctlPath() { static const std::string p = TUNDRAFOXCTL_PATH; return p; }
inline const std::string& sandboxPath() { static const std::string p = TUNDRAFOX_SANDBOX_PATH; return p; }
bool insideSandbox();              // SANDBOX_DIR set, and a network namespace of its own
std::string fileText(const std::string& path);  // "" when it cannot be read
bool waitUntil(const std::function<bool()>& done, int timeoutMs = kDefaultTimeoutMs, int pollMs = 10);
void sleepMs(int ms);  // only to show that something does NOT happen

// Starts the daemon as this process's child (so it detaches) with `args`; true when the starter exits 0 and a
// worker then serves 127.0.0.1:23589.
bool startDaemon(std::string* why = nullptr, const std::vector<std::string>& args = {});
// Runs it as PID 1's child in a nested sandbox (so it does not detach), logging here; its exit status (128 +
// signal when killed), -1 on failure.
int runDaemonUnderInit(int timeoutMs = kDefaultTimeoutMs);
bool controlPortListening();  // from /proc/net/tcp, so without a connection
inline bool waitForControlPort(int timeoutMs = kDefaultTimeoutMs) { return waitUntil(controlPortListening, timeoutMs); }
// SIGTERM to the monitor; true once the pid lock file and every tundrafoxd are gone.
bool stopDaemon(int timeoutMs = kDefaultTimeoutMs);

pid_t readPidFile(const std::string& path = kPidLockFile);  // the number in it, -1 if none
inline pid_t monitorPid() { return readPidFile(kPidLockFile); }
std::string statField(pid_t pid, int index);  // field `index` (as in proc(5)) of /proc/PID/stat
std::vector<pid_t> childrenOf(pid_t parent);  // living ones
// The monitor's living child other than `notPid`, waiting for one; -1 if none.
pid_t workerPid(int timeoutMs = kDefaultTimeoutMs, pid_t notPid = -1);
// Until `pid` is gone or a zombie whose threads (holding its descriptors) have all ended.
bool waitProcessGone(pid_t pid, int timeoutMs = kDefaultTimeoutMs);
int countProcesses(const std::string& comm);  // living ones

// The system log. Each reader first sees every line logged before it; `from` is a syslogMark(): lines after it.
size_t syslogMark();
bool waitForLogCount(const std::string& text, size_t count, int timeoutMs = kDefaultTimeoutMs, size_t from = 0);
inline bool waitForLog(const std::string& text, int timeoutMs = kDefaultTimeoutMs, size_t from = 0) {
  return waitForLogCount(text, 1, timeoutMs, from);
}
size_t countLog(const std::string& text, size_t from = 0);  // lines with `text`
int logSeverity(const std::string& text, size_t from = 0);  // of the first such line, -1 if none
size_t logPosition(const std::string& text, size_t from = 0);  // its offset, npos if none

std::vector<std::string> stubCalls();  // all recorded calls, in order
bool waitForStubCall(const std::string& prefix, int timeoutMs = kDefaultTimeoutMs);
void setStubExit(const std::string& name, int status);  // from now on

MessagePacket makePacket(int32_t command);  // a zeroed record with `command`
// A blocking, close-on-exec connection; invalid with errno set on failure.
UniqueFd connectControl(const std::string& address = "127.0.0.1", int port = 23589);
bool sendBytes(int fd, const void* data, size_t len, int timeoutMs = kDefaultTimeoutMs);  // each send bounded
struct ReadResult {
  enum Kind { kComplete, kClosed, kTimeout, kError } kind = kError;  // kClosed: closed or reset first
  std::vector<unsigned char> bytes;                                 // whatever arrived
};
ReadResult readBytes(int fd, size_t len, int timeoutMs = kDefaultTimeoutMs);  // within `timeoutMs` in all
// Sends the record to 127.0.0.1:23589 and reads the reply; nullopt on any failure.
std::optional<std::array<unsigned char, kMessageReplySize>> exchangeRecord(const MessagePacket& packet,
                                                                           int timeoutMs = kDefaultTimeoutMs);

struct CommandResult {
  int status = -1;     // wait status, -1 if not started
  std::string output;  // standard output and error
  bool ok() const { return status == 0; }  // exited with status 0
};
CommandResult runCommand(const std::string& shellCommand);  // /bin/sh -c; only in a sandbox
CommandResult runCtl(const std::vector<std::string>& args);  // tundrafoxctl

// Fails a test outside a sandbox or after a sanitizer report; prints the logs' tails on failure.
class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

}  // namespace itest
