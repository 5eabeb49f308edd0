#include "support/daemon_fixture.h"

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "base/io.h"
#include "base/process.h"
#include "control/socket_io.h"
#include "control/text.h"

namespace itest {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

const std::string kSandboxDir = "/var/log/sandbox", kSyslogFile = kSandboxDir + "/syslog",
                  kStubsLogFile = kSandboxDir + "/stubs.log", kDaemonOutFile = kSandboxDir + "/daemon.out";

int seconds(int ms) { return std::max(1, (ms + 999) / 1000); }

std::vector<pid_t> allPids() {
  std::vector<pid_t> pids;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec))
    if (pid_t pid = std::atoi(e.path().filename().c_str()); pid > 0) pids.push_back(pid);
  return pids;
}

// The lines of `text` after byte `from`, each with its offset.
std::vector<std::pair<size_t, std::string>> linesOf(const std::string& text, size_t from = 0) {
  std::vector<std::pair<size_t, std::string>> lines;
  for (size_t at = from, end; at < text.size(); at = end + 1)
    lines.emplace_back(at, text.substr(at, (end = std::min(text.find('\n', at), text.size())) - at));
  return lines;
}

// The sandbox's init copies datagrams to the file a moment after they were
// sent; /dev/log keeps them in order, so once it has acknowledged a sync
// request sent now, every line logged before is in the file.
void syncSyslog() {
  static std::atomic<long> counter{0};
  const long token = ++counter;
  const std::string request = std::string(1, '\0') + std::to_string(token);
  UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = "/dev/log"};
  if (sock && ::sendto(sock.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                       sizeof addr) == static_cast<ssize_t>(request.size()))
    waitUntil([&] { return std::atol(fileText(kSandboxDir + "/syslog.sync").c_str()) >= token; }, 2000, 1);
}

// The lines logged after `from` that contain `text`, each with its offset.
std::vector<std::pair<size_t, std::string>> logLinesWith(const std::string& text, size_t from) {
  syncSyslog();
  std::vector<std::pair<size_t, std::string>> found;
  for (auto& line : linesOf(fileText(kSyslogFile), from))
    if (line.second.find(text) != std::string::npos) found.push_back(line);
  return found;
}

}  // namespace

const std::string& ctlPath() { static const std::string p = TUNDRAFOXCTL_PATH; return p; }
const std::string& sandboxPath() { static const std::string p = TUNDRAFOX_SANDBOX_PATH; return p; }

bool insideSandbox() {
  const char* outer = std::getenv("SANDBOX_OUTER_NETNS");
  struct stat st {};
  return std::getenv("SANDBOX_DIR") != nullptr && outer != nullptr && ::stat("/proc/self/ns/net", &st) == 0 &&
         std::to_string(st.st_ino) != outer;
}

std::string fileText(const std::string& path) {
  std::string s;
  return readFile(path, &s) ? s : std::string();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs) {
  for (const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs); !done(); sleepMs(pollMs))
    if (Clock::now() >= deadline) return done();
  return true;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- The daemon. ----

bool startDaemon(std::string* why, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TUNDRAFOXD_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string reason;
  if (!insideSandbox()) {
    reason = "not inside a sandbox: refusing to start the daemon";
  } else if (int status = runShellCommand("exec " + joinArguments(argv) + " </dev/null >>" + kDaemonOutFile + " 2>&1");
             !exitedZero(status)) {  // exec: the daemon's parent is this process
    reason = "the starting process ended with wait status " + std::to_string(status);
  } else if (!waitUntil([] { return controlPortListening() && readPidFile(kSocketIdFile) > 0; })) {
    reason = "no worker listens on port 23589";  // the monitor holds the port; a worker records the socket
  }
  if (why != nullptr) *why = reason;
  return reason.empty();
}

int runDaemonUnderInit(int timeoutMs) {
  const int status = !insideSandbox() ? -1 : runShellCommand(
      "exec timeout -s KILL " + std::to_string(seconds(timeoutMs)) + " " +
      joinArguments({sandboxPath(), "--syslog-fd", "9", "--", TUNDRAFOXD_PATH}) + " 9>>" + kSyslogFile +
      " </dev/null >>" + kDaemonOutFile + " 2>&1");
  return status < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool controlPortListening() {
  // Port 23589 is 0x5C25; a listener has remote address 00000000:0000, state 0A.
  return fileText("/proc/net/tcp").find(":5C25 00000000:0000 0A ") != std::string::npos;
}

bool stopDaemon(int timeoutMs) {
  if (pid_t monitor = monitorPid(); monitor > 0) ::kill(monitor, SIGTERM);
  return waitUntil([] { return ::access(kPidLockFile, F_OK) != 0 && countProcesses("tundrafoxd") == 0; }, timeoutMs);
}

// ---- Processes. ----

pid_t readPidFile(const std::string& path) {
  const long v = std::atol(fileText(path).c_str());
  return v > 0 ? static_cast<pid_t>(v) : -1;
}

std::string statField(pid_t pid, int index) {
  const std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t close = stat.rfind(')');  // field 2, the name, may itself hold parentheses
  std::istringstream in(close == std::string::npos ? "" : stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= index; ++i) in >> field;
  return in && index >= 3 ? field : std::string();
}

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> kids;
  for (pid_t pid : allPids())
    if (statField(pid, 4) == std::to_string(parent) && processAlive(pid)) kids.push_back(pid);
  return kids;
}

pid_t workerPid(int timeoutMs, pid_t notPid) {
  pid_t found = -1;
  waitUntil([&] {
    for (pid_t kid : childrenOf(monitorPid())) found = kid != notPid ? kid : found;
    return found > 0;
  }, timeoutMs);
  return found;
}

bool processAlive(pid_t pid) {
  const std::string state = pid > 0 ? statField(pid, 3) : "";
  // A thread-group leader is a zombie once it has exited, while its other
  // threads may still be ending (and holding its descriptors).
  std::error_code ec;
  fs::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", ec);
  return !state.empty() && ((state != "Z" && state != "X") || std::distance(tasks, {}) > 1);
}

int countProcesses(const std::string& comm) {
  int n = 0;
  for (pid_t pid : allPids())
    n += fileText("/proc/" + std::to_string(pid) + "/comm") == comm + "\n" && processAlive(pid);
  return n;
}

// ---- The system log. ----

size_t syslogMark() {
  syncSyslog();
  return fileText(kSyslogFile).size();
}

size_t countLog(const std::string& text, size_t from) { return logLinesWith(text, from).size(); }

bool waitForLogCount(const std::string& text, size_t count, int timeoutMs, size_t from) {
  return waitUntil([&] { return countLog(text, from) >= count; }, timeoutMs);
}

int logSeverity(const std::string& text, size_t from) {
  const auto lines = logLinesWith(text, from);
  return !lines.empty() && lines[0].second.starts_with("<") ? std::atoi(lines[0].second.c_str() + 1) & 7 : -1;
}

size_t logPosition(const std::string& text, size_t from) {
  const auto lines = logLinesWith(text, from);
  return lines.empty() ? std::string::npos : lines[0].first;
}

// ---- The stubs. ----

std::vector<std::string> stubCalls() {
  std::vector<std::string> calls;
  for (auto& line : linesOf(fileText(kStubsLogFile))) calls.push_back(line.second);
  return calls;
}

bool waitForStubCall(const std::string& prefix, int timeoutMs) {
  return waitUntil([&] {
    const auto calls = stubCalls();
    return std::any_of(calls.begin(), calls.end(), [&](const std::string& c) { return c.starts_with(prefix); });
  }, timeoutMs);
}

void setStubExit(const std::string& name, int status) {
  replaceFileAtomically(kSandboxDir + "/" + name + ".exit", std::to_string(status) + "\n", 0644);
}

// ---- The control connection. ----

MessagePacket makePacket(int32_t command) {
  MessagePacket p;
  encodeCommandOnly(&p, command);
  return p;
}

UniqueFd connectControl(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{.sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)), .sin_addr{}, .sin_zero{}};
  if (!fd || ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return UniqueFd();
  // A local connect completes or is refused at once: it cannot hang.
  while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    if (errno != EINTR) return UniqueFd();  // closing `fd` succeeds, so errno stays
  return fd;
}

bool sendBytes(int fd, const void* data, size_t len, int timeoutMs) {
  return socketSendAll(fd, data, static_cast<int>(len), seconds(timeoutMs)) >= static_cast<int>(len);
}

ReadResult readBytes(int fd, size_t len, int timeoutMs) {
  ReadResult r{ReadResult::kComplete, {}};
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char buf[4096];
  while (r.bytes.size() < len && r.kind == ReadResult::kComplete) {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    const timeval left{.tv_sec = static_cast<time_t>(us / 1000000), .tv_usec = static_cast<suseconds_t>(us % 1000000)};
    if (us <= 0) r.kind = ReadResult::kTimeout;
    else if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &left, sizeof left) != 0) r.kind = ReadResult::kError;
    else if (const ssize_t n = ::recv(fd, buf, std::min(sizeof buf, len - r.bytes.size()), 0); n > 0)
      r.bytes.insert(r.bytes.end(), buf, buf + n);
    else if (n == 0 || errno == ECONNRESET) r.kind = ReadResult::kClosed;
    else if (errno == EAGAIN) r.kind = ReadResult::kTimeout;
    else if (errno != EINTR) r.kind = ReadResult::kError;
  }
  return r;
}

std::optional<std::array<unsigned char, kMessageReplySize>> exchangeRecord(const MessagePacket& packet,
                                                                           int timeoutMs) {
  std::array<unsigned char, kMessageReplySize> reply{};
  UniqueFd fd = connectControl();
  if (!fd || !sendBytes(fd.get(), packet.bytes, kMessagePacketSize, timeoutMs) ||
      socketRecvAll(fd.get(), reply.data(), kMessageReplySize, seconds(timeoutMs)) < 0)
    return std::nullopt;
  return reply;
}

// ---- Other programs. ----

bool CommandResult::ok() const { return exitedZero(status); }

CommandResult runCommand(const std::string& shellCommand) {
  if (!insideSandbox()) return {-1, "refused: not inside a sandbox\n"};
  static std::atomic<int> counter{0};
  const std::string out = "/tmp/itest-command-" + std::to_string(counter++) + ".out";  // the sandbox's own /tmp
  const int status = runShellCommand("( " + shellCommand + " ) </dev/null >" + out + " 2>&1");
  CommandResult res{status, fileText(out)};
  ::unlink(out.c_str());
  return res;
}

CommandResult runCtl(const std::vector<std::string>& args) {
  if (ctlPath().empty()) return {-1, "this build has no control tool\n"};
  std::vector<std::string> argv = {ctlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(joinArguments(argv));
}

// ---- Fixture. ----

void DaemonTest::SetUp() {
  ASSERT_TRUE(insideSandbox()) << "integration tests run only inside tundrafox-sandbox";
  // Sanitizer reports go to files TearDown looks at, so the daemon's exit
  // statuses stay its own. No leak checks: its processes end without joining
  // detached threads.
  const std::string log = "log_path=" + kSandboxDir + "/sanitizer";
  ::setenv("ASAN_OPTIONS", (log + ":detect_leaks=0").c_str(), 1);
  ::setenv("UBSAN_OPTIONS", (log + ":print_stacktrace=1").c_str(), 1);
  ::setenv("TSAN_OPTIONS", (log + ":exitcode=0").c_str(), 1);
}

void DaemonTest::TearDown() {
  const std::string reports = runCommand("cat " + kSandboxDir + "/sanitizer* 2>/dev/null").output;
  if (!reports.empty()) ADD_FAILURE() << "sanitizer reports:\n" << reports;
  if (HasFailure())
    std::printf("%s", runCommand("cd " + kSandboxDir + " && for f in syslog stubs.log daemon.out; do "
                                 "echo \"--- $f (last lines)\"; tail -n 60 $f | sed 's/^/    /'; done").output.c_str());
  std::fflush(stdout);
}

}  // namespace itest
