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
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/io.h"
#include "base/process.h"

#ifndef TUNDRAFOXCTL_PATH
#define TUNDRAFOXCTL_PATH ""
#endif

namespace itest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char kSandboxDir[] = "/var/log/sandbox";
constexpr const char kSyslogFile[] = "/var/log/sandbox/syslog";
constexpr const char kStubsLogFile[] = "/var/log/sandbox/stubs.log";
// Where the starting daemon's own standard output and error go.
constexpr const char kDaemonOutFile[] = "/var/log/sandbox/daemon.out";

std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) c == '\'' ? out.append("'\\''") : out.append(1, c);
  return out.append("'");
}

std::string quotedArgs(const std::string& program, const std::vector<std::string>& args) {
  std::string cmd = shellQuote(program);
  for (const std::string& a : args) cmd.append(" ").append(shellQuote(a));
  return cmd;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Numeric entries of `dir` (/proc: pids), or entries starting with `prefix`.
std::vector<std::string> dirEntries(const std::string& dir, const std::string& prefix = "") {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      bool numeric = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
      if (prefix.empty() ? numeric : name.rfind(prefix, 0) == 0) names.push_back(name);
    }
    ::closedir(d);
  }
  return names;
}

// The sandbox's init copies datagrams to the file a moment after they were
// sent. /dev/log keeps datagrams in order, so once the init has acknowledged
// a sync request sent now, every line logged before is in the file.
bool syncSyslog() {
  static std::atomic<long> counter{0};
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
  return waitUntil([&] { return std::atol(fileText(ackFile).c_str()) >= token; }, 2000, 1);
}

std::string readSyslog(size_t from) {
  syncSyslog();
  std::string all = fileText(kSyslogFile);
  return from >= all.size() ? std::string() : all.substr(from);
}

}  // namespace

const std::string& ctlPath() { static const std::string p = TUNDRAFOXCTL_PATH; return p; }
const std::string& sandboxPath() { static const std::string p = TUNDRAFOX_SANDBOX_PATH; return p; }

bool insideSandbox() {
  const char* dir = std::getenv("SANDBOX_DIR");
  const char* outer = std::getenv("SANDBOX_OUTER_NETNS");
  struct stat st {};
  if (dir == nullptr || outer == nullptr || ::stat("/proc/self/ns/net", &st) != 0) return false;
  return std::to_string(st.st_ino) != outer;
}

std::string fileText(const std::string& path) {
  std::string s;
  return readFile(path, &s) ? s : std::string();
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// ---- The daemon. ----

bool startDaemon(std::string* why, const std::vector<std::string>& args) {
  auto fail = [why](const std::string& reason) {
    if (why != nullptr) *why = reason;
    return false;
  };
  if (!insideSandbox()) return fail("not inside a sandbox: refusing to start the daemon");
  // exec: the daemon replaces the shell, so its parent is this process.
  int status = runShellCommand(std::string("exec ") + quotedArgs(TUNDRAFOXD_PATH, args) + " </dev/null >>" +
                               kDaemonOutFile + " 2>&1");
  if (!exitedZero(status)) return fail("the starting process ended with wait status " + std::to_string(status));
  // The monitor holds the port from the start; a worker serves once its
  // listener has recorded the socket.
  return waitUntil([] { return controlPortListening() && readPidFile(kSocketIdFile) > 0; }) ||
         fail("no worker listens on port 23589");
}

int runDaemonUnderInit(int timeoutMs) {
  if (!insideSandbox()) return -1;
  int status = runShellCommand(std::string("exec timeout -s KILL ") + std::to_string((timeoutMs + 999) / 1000) + " " +
                               quotedArgs(sandboxPath(), {"--syslog-fd", "9", "--", TUNDRAFOXD_PATH}) + " 9>>" +
                               kSyslogFile + " </dev/null >>" + kDaemonOutFile + " 2>&1");
  if (status >= 0 && WIFEXITED(status)) return WEXITSTATUS(status);
  if (status >= 0 && WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool controlPortListening() {
  // A listener on port 23589 (0x5C25): remote address 00000000:0000, state 0A.
  return fileText("/proc/net/tcp").find(":5C25 00000000:0000 0A ") != std::string::npos;
}

bool stopDaemon(int timeoutMs) {
  pid_t monitor = monitorPid();
  if (monitor > 0) ::kill(monitor, SIGTERM);
  return waitUntil([] { return ::access(kPidLockFile, F_OK) != 0 && countProcesses("tundrafoxd") == 0; },
                   timeoutMs);
}

// ---- Processes. ----

pid_t readPidFile(const std::string& path) {
  std::string text = fileText(path);
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  return end == text.c_str() || v <= 0 ? -1 : static_cast<pid_t>(v);
}

std::string statField(pid_t pid, int index) {
  std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
  // The command name (field 2) is in parentheses and may itself contain them.
  size_t close = stat.rfind(')');
  if (close == std::string::npos || index < 3) return {};
  std::istringstream in(stat.substr(close + 1));
  std::string field;
  for (int i = 3; i <= index; ++i) in >> field;
  return in ? field : std::string();
}

std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> kids;
  for (const std::string& name : dirEntries("/proc")) {
    const pid_t pid = std::stoi(name);
    if (statField(pid, 4) == std::to_string(parent) && processAlive(pid)) kids.push_back(pid);
  }
  return kids;
}

pid_t workerPid(int timeoutMs, pid_t notPid) {
  pid_t found = -1;
  waitUntil(
      [&] {
        pid_t monitor = monitorPid();
        for (pid_t kid : monitor > 0 ? childrenOf(monitor) : std::vector<pid_t>{}) {
          if (kid != notPid) found = kid;
        }
        return found > 0;
      },
      timeoutMs);
  return found;
}

bool processAlive(pid_t pid) {
  std::string state = pid > 0 ? statField(pid, 3) : "";
  if (state.empty()) return false;
  if (state != "Z" && state != "X") return true;
  // A thread-group leader shows as a zombie as soon as it has exited, while
  // its other threads may still be ending (and holding its descriptors).
  return dirEntries("/proc/" + std::to_string(pid) + "/task").size() > 1;
}

int countProcesses(const std::string& comm) {
  int n = 0;
  for (const std::string& pid : dirEntries("/proc"))
    if (fileText("/proc/" + pid + "/comm") == comm + "\n" && processAlive(std::stoi(pid))) ++n;
  return n;
}

// ---- The system log. ----

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

bool waitForLogCount(const std::string& text, size_t count, int timeoutMs, size_t from) {
  return waitUntil([&] { return countLog(text, from) >= count; }, timeoutMs);
}

int logSeverity(const std::string& text, size_t from) {
  for (const std::string& line : linesOf(readSyslog(from)))
    if (line.find(text) != std::string::npos) return line.size() > 2 && line[0] == '<' ? std::atoi(&line[1]) & 7 : -1;
  return -1;
}

size_t logPosition(const std::string& text, size_t from) {
  size_t at = from;
  for (const std::string& line : linesOf(readSyslog(from))) {
    if (line.find(text) != std::string::npos) return at;
    at += line.size() + 1;
  }
  return std::string::npos;
}

// ---- The stubs. ----

std::vector<std::string> stubCalls() { return linesOf(fileText(kStubsLogFile)); }

bool waitForStubCall(const std::string& prefix, int timeoutMs) {
  return waitUntil(
      [&] {
        for (const std::string& line : stubCalls())
          if (line.rfind(prefix, 0) == 0) return true;
        return false;
      },
      timeoutMs);
}

void setStubExit(const std::string& name, int status) {
  std::ofstream(std::string(kSandboxDir) + "/" + name + ".exit") << status << "\n";
}

// ---- The control connection. ----

MessagePacket makePacket(int32_t command) {
  MessagePacket p{};
  auto u = static_cast<uint32_t>(command);
  for (int i = 0; i < 4; ++i) p.bytes[i] = static_cast<unsigned char>(u >> (8 * i));
  return p;
}

UniqueFd connectControl(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (!fd || ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return UniqueFd();
  // A local connect completes or is refused at once: it cannot hang.
  while (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    if (errno != EINTR) return UniqueFd();  // closing `fd` succeeds, so errno stays
  return fd;
}

bool sendBytes(int fd, const void* data, size_t len, int timeoutMs) {
  const timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) return false;
  for (const char* p = static_cast<const char*>(data); len > 0;) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);  // EPIPE instead of SIGPIPE
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

ReadResult readBytes(int fd, size_t len, int timeoutMs) {
  ReadResult res;
  auto finish = [&res](ReadResult::Kind kind) {
    res.kind = kind;
    return res;
  };
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  unsigned char buf[4096];
  while (res.bytes.size() < len) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return finish(ReadResult::kTimeout);
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) return finish(ReadResult::kError);
    if (r <= 0) continue;  // the deadline check ends the loop
    ssize_t n = ::recv(fd, buf, std::min(sizeof buf, len - res.bytes.size()), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE))) return finish(ReadResult::kClosed);
    if (n < 0) return finish(ReadResult::kError);
    res.bytes.insert(res.bytes.end(), buf, buf + n);
  }
  return finish(ReadResult::kComplete);
}

std::optional<std::array<unsigned char, kMessageReplySize>> exchangeRecord(const MessagePacket& packet,
                                                                           int timeoutMs) {
  UniqueFd fd = connectControl();
  if (!fd || !sendBytes(fd.get(), packet.bytes, sizeof packet.bytes, timeoutMs)) return std::nullopt;
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
  const std::string out = "/tmp/itest-command-" + std::to_string(counter++) + ".out";  // the sandbox's own /tmp
  res.status = runShellCommand("( " + shellCommand + " ) </dev/null >" + out + " 2>&1");
  res.output = fileText(out);
  ::unlink(out.c_str());
  return res;
}

CommandResult runCtl(const std::vector<std::string>& args) {
  if (!ctlPath().empty()) return runCommand(quotedArgs(ctlPath(), args));
  CommandResult res;
  res.output = "this build has no control tool\n";
  return res;
}

// ---- Fixture. ----

void DaemonTest::SetUp() {
  ASSERT_TRUE(insideSandbox()) << "integration tests run only inside tundrafox-sandbox";
  // Sanitizer reports of the daemon (and anything else the tests start) go
  // to files TearDown looks at, so the daemon's exit statuses stay its own.
  // No leak checks: its processes end without joining detached threads.
  const std::string log = std::string("log_path=") + kSandboxDir + "/sanitizer";
  ::setenv("ASAN_OPTIONS", (log + ":detect_leaks=0").c_str(), 1);
  ::setenv("UBSAN_OPTIONS", (log + ":print_stacktrace=1").c_str(), 1);
  ::setenv("TSAN_OPTIONS", (log + ":exitcode=0").c_str(), 1);
}

void DaemonTest::TearDown() {
  for (const std::string& report : dirEntries(kSandboxDir, "sanitizer"))
    ADD_FAILURE() << "sanitizer report " << report << ":\n" << fileText(std::string(kSandboxDir) + "/" + report);
  if (!HasFailure()) return;
  for (const char* file : {kSyslogFile, kStubsLogFile, kDaemonOutFile}) {
    std::vector<std::string> lines = linesOf(fileText(file));
    std::printf("--- %s (last lines)\n", file);
    for (size_t i = lines.size() > 60 ? lines.size() - 60 : 0; i < lines.size(); ++i)
      std::printf("    %s\n", lines[i].c_str());
  }
  std::fflush(stdout);
}

}  // namespace itest
