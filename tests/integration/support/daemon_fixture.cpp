#include "support/daemon_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "daemon/io.h"
#include "daemon/process.h"

#ifndef TUNDRAFOXD_PATH
#error "TUNDRAFOXD_PATH must name the daemon binary"
#endif
#ifndef TUNDRAFOXCTL_PATH
#define TUNDRAFOXCTL_PATH ""
#endif
#ifndef TUNDRAFOX_SANDBOX_PATH
#error "TUNDRAFOX_SANDBOX_PATH must name the sandbox binary"
#endif
#ifndef TUNDRAFOX_STUB_DIR
#define TUNDRAFOX_STUB_DIR ""
#endif

namespace itest {

namespace {

using Clock = std::chrono::steady_clock;

// Where the starting daemon's own standard output and error go.
constexpr const char kDaemonOutFile[] = "/var/log/sandbox/daemon.out";
// Prefix of the sanitizer reports of programs started by the tests.
constexpr const char kSanitizerLogPrefix[] = "/var/log/sandbox/sanitizer";

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string fileText(const std::string& path) {
  std::string s;
  if (!readFile(path, &s)) return {};
  return s;
}

// The lines of `text`, without their newlines.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Tail of a file for failure output.
std::string tailOf(const std::string& path, size_t maxLines) {
  std::vector<std::string> lines = linesOf(fileText(path));
  size_t start = lines.size() > maxLines ? lines.size() - maxLines : 0;
  std::string out;
  if (start > 0) out += "    ... (" + std::to_string(start) + " earlier lines)\n";
  for (size_t i = start; i < lines.size(); ++i) out += "    " + lines[i] + "\n";
  return out;
}

// The state letter and parent of a process, from /proc/PID/stat.
bool procStat(pid_t pid, char* state, pid_t* ppid) {
  std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
  // The command name is in parentheses and may itself contain them.
  size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 > stat.size()) return false;
  std::istringstream in(stat.substr(close + 2));
  long parent = 0;
  in >> *state >> parent;
  if (!in) return false;
  *ppid = static_cast<pid_t>(parent);
  return true;
}

std::vector<pid_t> allPids() {
  std::vector<pid_t> pids;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return pids;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long v = std::strtol(e->d_name, &end, 10);
    if (*end == '\0' && v > 0) pids.push_back(static_cast<pid_t>(v));
  }
  ::closedir(d);
  return pids;
}

// Whether some socket listens on TCP `port` (any address). Read from
// /proc/net/tcp, so probing does not open a connection the daemon would
// answer and log.
bool tcpPortListening(int port) {
  std::istringstream in(fileText("/proc/net/tcp"));
  std::string line;
  std::getline(in, line);  // header
  char want[8];
  std::snprintf(want, sizeof want, ":%04X", port);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, want) == 0) return true;
  }
  return false;
}

// Sanitizer reports from the daemon (and any other instrumented program
// the tests start) go to files that TearDown looks at, so the daemon's own
// exit statuses stay those of its code. Leak checks are off for the daemon:
// its processes end without tearing down detached threads on purpose.
void configureSanitizersForChildren() {
  std::string log = std::string("log_path=") + kSanitizerLogPrefix;
  ::setenv("ASAN_OPTIONS", (log + ":detect_leaks=0").c_str(), 1);
  ::setenv("UBSAN_OPTIONS", (log + ":print_stacktrace=1").c_str(), 1);
  ::setenv("TSAN_OPTIONS", (log + ":exitcode=0").c_str(), 1);
}

std::vector<std::string> sanitizerReports() {
  std::vector<std::string> files;
  DIR* d = ::opendir(kSandboxDir);
  if (d == nullptr) return files;
  while (dirent* e = ::readdir(d)) {
    if (std::strncmp(e->d_name, "sanitizer", 9) == 0) files.push_back(std::string(kSandboxDir) + "/" + e->d_name);
  }
  ::closedir(d);
  return files;
}

int sandboxExitCode(int status) {
  if (status < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

// ---- Built programs. ----

const std::string& daemonPath() {
  static const std::string p = TUNDRAFOXD_PATH;
  return p;
}
const std::string& ctlPath() {
  static const std::string p = TUNDRAFOXCTL_PATH;
  return p;
}
const std::string& sandboxPath() {
  static const std::string p = TUNDRAFOX_SANDBOX_PATH;
  return p;
}
const std::string& stubDir() {
  static const std::string p = TUNDRAFOX_STUB_DIR;
  return p;
}

bool insideSandbox() {
  const char* dir = std::getenv("SANDBOX_DIR");
  const char* outer = std::getenv("SANDBOX_OUTER_NETNS");
  if (dir == nullptr || outer == nullptr) return false;
  struct stat st {};
  if (::stat("/proc/self/ns/net", &st) != 0) return false;
  return std::to_string(st.st_ino) != outer;
}

// ---- Waiting. ----

bool waitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- Starting and stopping. ----

bool startDaemon(std::string* why, const std::vector<std::string>& args) {
  auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (!insideSandbox()) return fail("not inside a sandbox: refusing to start the daemon");
  // exec: the daemon replaces the shell, so its parent is this process.
  std::string cmd = "exec " + shellQuote(daemonPath());
  for (const std::string& a : args) cmd += " " + shellQuote(a);
  cmd += std::string(" </dev/null >>") + kDaemonOutFile + " 2>&1";
  int status = runShellCommand(cmd);
  if (!exitedZero(status))
    return fail("the starting process did not end with status 0 (wait status " + std::to_string(status) + ")");
  if (!waitUntil([] { return tcpPortListening(kControlPort); }))
    return fail("nothing listens on port 23589 after " + std::to_string(kDefaultTimeoutMs) + " ms");
  return true;
}

int runDaemonUnderInit(int timeoutMs) {
  if (!insideSandbox()) return -1;
  int seconds = (timeoutMs + 999) / 1000;
  std::string cmd = "exec timeout -s KILL " + std::to_string(seconds) + " " + shellQuote(sandboxPath()) +
                    " --syslog-fd 9 -- " + shellQuote(daemonPath()) + " 9>>" + kSyslogFile + " </dev/null >>" +
                    kDaemonOutFile + " 2>&1";
  return sandboxExitCode(runShellCommand(cmd));
}

bool controlPortListening() { return tcpPortListening(kControlPort); }

bool waitForControlPort(int timeoutMs) { return waitUntil(controlPortListening, timeoutMs); }

bool stopDaemon(int timeoutMs) {
  pid_t monitor = monitorPid();
  if (monitor > 0) ::kill(monitor, SIGTERM);
  return waitUntil(
      [] {
        struct stat st {};
        return ::stat(kPidLockFile, &st) != 0 && countProcesses("tundrafoxd") == 0;
      },
      timeoutMs);
}

// ---- Processes. ----

pid_t readPidFile(const std::string& path) {
  std::string text;
  if (!readFile(path, &text)) return -1;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || v <= 0) return -1;
  return static_cast<pid_t>(v);
}

pid_t monitorPid() { return readPidFile(kPidLockFile); }

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> kids;
  for (pid_t pid : allPids()) {
    char state = 0;
    pid_t ppid = 0;
    if (procStat(pid, &state, &ppid) && ppid == parent && processAlive(pid)) kids.push_back(pid);
  }
  return kids;
}

pid_t workerPid(int timeoutMs, pid_t notPid) {
  pid_t found = -1;
  waitUntil(
      [&] {
        pid_t monitor = monitorPid();
        if (monitor <= 0) return false;
        for (pid_t kid : childrenOf(monitor)) {
          if (kid != notPid) {
            found = kid;
            return true;
          }
        }
        return false;
      },
      timeoutMs);
  return found;
}

bool processAlive(pid_t pid) {
  char state = 0;
  pid_t ppid = 0;
  if (pid <= 0 || !procStat(pid, &state, &ppid)) return false;
  if (state != 'Z' && state != 'X') return true;
  // A thread-group leader shows as a zombie as soon as it has exited, while
  // its other threads may still be ending (and holding its descriptors).
  int tasks = 0;
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++tasks;
    ::closedir(d);
  }
  return tasks > 1;
}

bool waitProcessGone(pid_t pid, int timeoutMs) {
  return waitUntil([pid] { return !processAlive(pid); }, timeoutMs);
}

int countProcesses(const std::string& comm) {
  int n = 0;
  for (pid_t pid : allPids()) {
    std::string name = fileText("/proc/" + std::to_string(pid) + "/comm");
    while (!name.empty() && name.back() == '\n') name.pop_back();
    if (name == comm && processAlive(pid)) ++n;
  }
  return n;
}

// ---- System log. ----

bool syncSyslog() {
  // The sandbox's init copies datagrams to the file a moment after they
  // were sent. /dev/log keeps datagrams in order, so once the init has
  // acknowledged a sync request sent now, every line logged before is in
  // the file.
  static std::atomic<bool> unsupported{false};
  static std::atomic<long> counter{0};
  if (unsupported.load()) return false;
  const long token = ++counter;
  const std::string request = std::string(1, '\0') + std::to_string(token);
  UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  if (!sock || ::sendto(sock.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                        sizeof addr) != static_cast<ssize_t>(request.size()))
    return false;
  const std::string ackFile = std::string(kSandboxDir) + "/syslog.sync";
  bool ok = waitUntil([&] { return std::atol(fileText(ackFile).c_str()) >= token; }, 2000, 1);
  // An init that does not answer syncs: read the file as it is from now on.
  if (!ok) unsupported.store(true);
  return ok;
}

std::string readSyslog(size_t from) {
  syncSyslog();
  std::string all = fileText(kSyslogFile);
  return from >= all.size() ? std::string() : all.substr(from);
}

size_t syslogMark() {
  syncSyslog();
  struct stat st {};
  return ::stat(kSyslogFile, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

size_t countLog(const std::string& text, size_t from) {
  size_t n = 0;
  for (const std::string& line : linesOf(readSyslog(from)))
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

bool waitForLog(const std::string& text, int timeoutMs, size_t from) {
  return waitForLogCount(text, 1, timeoutMs, from);
}

bool waitForLogCount(const std::string& text, size_t count, int timeoutMs, size_t from) {
  return waitUntil([&] { return countLog(text, from) >= count; }, timeoutMs);
}

int logSeverity(const std::string& text, size_t from) {
  for (const std::string& line : linesOf(readSyslog(from))) {
    if (line.find(text) == std::string::npos) continue;
    if (line.size() < 3 || line[0] != '<') return -1;
    return std::atoi(line.c_str() + 1) & 7;
  }
  return -1;
}

size_t logPosition(const std::string& text, size_t from) {
  std::string log = readSyslog(from);
  size_t at = 0;
  for (const std::string& line : linesOf(log)) {
    if (line.find(text) != std::string::npos) return from + at;
    at += line.size() + 1;
  }
  return std::string::npos;
}

// ---- Stubs. ----

std::vector<std::string> stubCalls() { return linesOf(fileText(kStubsLogFile)); }

bool waitForStubCall(const std::string& prefix, int timeoutMs) {
  return waitUntil(
      [&] {
        for (const std::string& line : stubCalls())
          if (line.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
      },
      timeoutMs);
}

void setStubExit(const std::string& name, int status) {
  std::ofstream(std::string(kSandboxDir) + "/" + name + ".exit") << status << "\n";
}

void setStubOutput(const std::string& name, const std::string& output) {
  std::ofstream(std::string(kSandboxDir) + "/" + name + ".out") << output;
}

// ---- Control connection. ----

MessagePacket makePacket(int32_t command) {
  MessagePacket p{};
  auto u = static_cast<uint32_t>(command);
  for (int i = 0; i < 4; ++i) p.bytes[i] = static_cast<unsigned char>(u >> (8 * i));
  return p;
}

UniqueFd connectControl(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    errno = EINVAL;
    return UniqueFd();
  }
  // A local connect either completes or is refused at once; a blocking
  // connect cannot hang here.
  while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == EINTR) continue;
    int err = errno;
    fd.reset();
    errno = err;
    return fd;
  }
  return fd;
}

bool sendBytes(int fd, const void* data, size_t len, int timeoutMs) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    pollfd pfd{fd, POLLOUT, 0};
    int r = ::poll(&pfd, 1, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

ReadResult readBytes(int fd, size_t len, int timeoutMs) {
  ReadResult res;
  res.bytes.reserve(len);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char buf[4096];
  while (res.bytes.size() < len) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      res.kind = ReadResult::kTimeout;
      return res;
    }
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      res.kind = ReadResult::kError;
      return res;
    }
    if (r == 0) continue;  // the deadline check above ends the loop
    size_t want = std::min(sizeof buf, len - res.bytes.size());
    ssize_t n = ::recv(fd, buf, want, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE))) {
      res.kind = ReadResult::kClosed;
      return res;
    }
    if (n < 0) {
      res.kind = ReadResult::kError;
      return res;
    }
    res.bytes.insert(res.bytes.end(), buf, buf + n);
  }
  res.kind = ReadResult::kComplete;
  return res;
}

std::optional<std::array<unsigned char, kMessageReplySize>> exchangeRecord(const MessagePacket& packet,
                                                                           int timeoutMs) {
  UniqueFd fd = connectControl();
  if (!fd) return std::nullopt;
  if (!sendBytes(fd.get(), packet.bytes, sizeof packet.bytes, timeoutMs)) return std::nullopt;
  ReadResult r = readBytes(fd.get(), kMessageReplySize, timeoutMs);
  if (r.kind != ReadResult::kComplete) return std::nullopt;
  std::array<unsigned char, kMessageReplySize> reply{};
  std::copy(r.bytes.begin(), r.bytes.end(), reply.begin());
  return reply;
}

// ---- Other programs. ----

bool CommandResult::ok() const { return exitedZero(status); }

CommandResult runCommand(const std::string& shellCommand) {
  CommandResult res;
  if (!insideSandbox()) {
    res.output = "refused: not inside a sandbox\n";
    return res;
  }
  static std::atomic<int> counter{0};
  std::string out = "/tmp/itest-command-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".out";
  res.status = runShellCommand("( " + shellCommand + " ) </dev/null >" + out + " 2>&1");
  readFile(out, &res.output);
  ::unlink(out.c_str());
  return res;
}

CommandResult runCtl(const std::vector<std::string>& args) {
  if (ctlPath().empty()) {
    CommandResult res;
    res.output = "this build has no control tool\n";
    return res;
  }
  std::string cmd = shellQuote(ctlPath());
  for (const std::string& a : args) cmd += " " + shellQuote(a);
  return runCommand(cmd);
}

// ---- Fixture. ----

void DaemonTest::SetUp() {
  ASSERT_TRUE(insideSandbox()) << "integration tests run only inside tundrafox-sandbox";
  configureSanitizersForChildren();
}

void DaemonTest::TearDown() {
  for (const std::string& report : sanitizerReports())
    ADD_FAILURE() << "sanitizer report " << report << ":\n" << fileText(report);
  if (HasFailure()) {
    std::printf("--- %s (last lines)\n%s", kSyslogFile, tailOf(kSyslogFile, 80).c_str());
    std::printf("--- %s (last lines)\n%s", kStubsLogFile, tailOf(kStubsLogFile, 40).c_str());
    std::printf("--- %s (last lines)\n%s", kDaemonOutFile, tailOf(kDaemonOutFile, 40).c_str());
    std::fflush(stdout);
  }
}

}  // namespace itest
