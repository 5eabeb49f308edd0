#include "support/daemon_fixture.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "base/io.h"
#include "base/process.h"
#include "control/socket_io.h"
#include "control/text.h"

namespace itest {

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using Lines = std::vector<std::pair<size_t, std::string>>;  // each with its offset in the file

const std::string kSandboxDir = "/var/log/sandbox/", kSyslogFile = kSandboxDir + "syslog";

int seconds(int ms) { return std::max(1, (ms + 999) / 1000); }

// A thread-group leader is a zombie once it has exited, while its other
// threads may still be ending (and holding its descriptors).
bool processAlive(pid_t pid) {
  const std::string state = pid > 0 ? statField(pid, 3) : "";
  std::error_code ec;
  fs::directory_iterator tasks("/proc/" + std::to_string(pid) + "/task", ec);
  return !state.empty() && ((state != "Z" && state != "X") || std::distance(tasks, {}) > 1);
}

std::vector<pid_t> livingProcesses(const std::function<bool(pid_t)>& keep) {
  std::vector<pid_t> pids;
  for (const auto& e : fs::directory_iterator("/proc"))
    if (const pid_t pid = std::atoi(e.path().filename().c_str()); pid > 0 && keep(pid) && processAlive(pid))
      pids.push_back(pid);
  return pids;
}

Lines linesOf(const std::string& text, size_t from = 0) {
  Lines lines;
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
  if (::sendto(sock.get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr) > 0)
    waitUntil([&] { return std::atol(fileText(kSandboxDir + "syslog.sync").c_str()) >= token; }, 2000, 1);
}

Lines logLinesWith(const std::string& text, size_t from) {
  syncSyslog();
  Lines lines = linesOf(fileText(kSyslogFile), from);
  std::erase_if(lines, [&](const auto& line) { return line.second.find(text) == std::string::npos; });
  return lines;
}

}  // namespace

bool insideSandbox() {
  const char* outer = std::getenv("SANDBOX_OUTER_NETNS");  // the inode of the namespace it was started in
  std::error_code ec;
  const std::string net = fs::read_symlink("/proc/self/ns/net", ec);  // "net:[INODE]"
  return std::getenv("SANDBOX_DIR") != nullptr && outer != nullptr && !ec && net != "net:[" + std::string(outer) + "]";
}

std::string fileText(const std::string& path) { std::string s; return readFile(path, &s) ? s : std::string(); }

bool waitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs) {
  for (const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs); !done(); sleepMs(pollMs))
    if (Clock::now() >= deadline) return done();
  return true;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool startDaemon(std::string* why, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {TUNDRAFOXD_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  // exec: the daemon's parent is this process. The monitor holds the port; a worker records its socket.
  const bool ok =
      insideSandbox() &&
      exitedZero(runShellCommand("exec " + joinArguments(argv) + " </dev/null >>" + kSandboxDir + "daemon.out 2>&1")) &&
      waitUntil([] { return controlPortListening() && readPidFile(kSocketIdFile) > 0; });
  if (why != nullptr) *why = ok ? "" : "no worker of a daemon started here serves: see daemon.out";
  return ok;
}

int runDaemonUnderInit(int timeoutMs) {
  const int status = !insideSandbox() ? -1 : runShellCommand(
      "exec timeout -s KILL " + std::to_string(seconds(timeoutMs)) + " " +
      joinArguments({sandboxPath(), "--syslog-fd", "9", "--", TUNDRAFOXD_PATH}) + " 9>>" + kSyslogFile +
      " </dev/null >>" + kSandboxDir + "daemon.out 2>&1");
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

pid_t readPidFile(const std::string& path) { const pid_t v = std::atoi(fileText(path).c_str()); return v > 0 ? v : -1; }

std::string statField(pid_t pid, int index) {
  const std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
  size_t at = stat.rfind(')');  // the end of the name (field 2), which may hold ")"
  for (int i = 2; i < index && at != std::string::npos; ++i) at = stat.find(' ', at + 1);
  return index < 3 || at == std::string::npos ? "" : stat.substr(at + 1, stat.find(' ', at + 1) - at - 1);
}

std::vector<pid_t> childrenOf(pid_t parent) {
  return livingProcesses([&](pid_t pid) { return statField(pid, 4) == std::to_string(parent); });
}

pid_t workerPid(int timeoutMs, pid_t notPid) {
  std::vector<pid_t> kids;
  waitUntil([&] {
    kids = childrenOf(monitorPid());
    std::erase(kids, notPid);
    return !kids.empty();
  }, timeoutMs);
  return kids.empty() ? -1 : kids.back();
}

bool waitProcessGone(pid_t pid, int timeoutMs) { return waitUntil([pid] { return !processAlive(pid); }, timeoutMs); }

int countProcesses(const std::string& comm) {
  const auto named = [&](pid_t pid) { return fileText("/proc/" + std::to_string(pid) + "/comm") == comm + "\n"; };
  return static_cast<int>(livingProcesses(named).size());
}

size_t syslogMark() {
  syncSyslog();
  return fileText(kSyslogFile).size();
}

size_t countLog(const std::string& text, size_t from) { return logLinesWith(text, from).size(); }

bool waitForLogCount(const std::string& text, size_t count, int timeoutMs, size_t from) {
  return waitUntil([&] { return countLog(text, from) >= count; }, timeoutMs);
}

int logSeverity(const std::string& text, size_t from) {
  const Lines lines = logLinesWith(text, from);
  return !lines.empty() && lines[0].second.starts_with("<") ? std::atoi(lines[0].second.c_str() + 1) & 7 : -1;
}

size_t logPosition(const std::string& text, size_t from) {
  const Lines lines = logLinesWith(text, from);
  return lines.empty() ? std::string::npos : lines[0].first;
}

std::vector<std::string> stubCalls() {
  std::vector<std::string> calls;
  for (auto& line : linesOf(fileText(kSandboxDir + "stubs.log"))) calls.push_back(line.second);
  return calls;
}

bool waitForStubCall(const std::string& prefix, int timeoutMs) {
  const auto called = [&](const std::string& call) { return call.starts_with(prefix); };
  return waitUntil([&] { return std::ranges::any_of(stubCalls(), called); }, timeoutMs);
}

void setStubExit(const std::string& name, int status) {
  replaceFileAtomically(kSandboxDir + name + ".exit", std::to_string(status) + "\n", 0644);
}

MessagePacket makePacket(int32_t command) {
  MessagePacket p;
  encodeCommandOnly(&p, command);
  return p;
}

UniqueFd connectControl(const std::string& address, int port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{.sin_family = AF_INET, .sin_port = htons(static_cast<uint16_t>(port)), .sin_addr{}, .sin_zero{}};
  // A local connect completes or is refused at once: it cannot hang. Closing `fd` keeps errno.
  const bool ok = ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) == 1 &&
                  ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  return ok ? std::move(fd) : UniqueFd();
}

bool sendBytes(int fd, const void* data, size_t len, int timeoutMs) {
  return socketSendAll(fd, data, static_cast<int>(len), seconds(timeoutMs)) >= static_cast<int>(len);
}

ReadResult readBytes(int fd, size_t len, int timeoutMs) {
  ReadResult r{ReadResult::kComplete, std::vector<unsigned char>(len)};
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  size_t got = 0;
  for (pollfd p{fd, POLLIN, 0}; got < len && r.kind == ReadResult::kComplete;) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (ms <= 0 || ::poll(&p, 1, static_cast<int>(ms)) == 0) r.kind = ReadResult::kTimeout;
    else if (const ssize_t n = ::recv(fd, &r.bytes[got], len - got, MSG_DONTWAIT); n > 0) got += static_cast<size_t>(n);
    else if (n == 0 || errno == ECONNRESET) r.kind = ReadResult::kClosed;
    else if (errno != EINTR && errno != EAGAIN) r.kind = ReadResult::kError;
  }
  r.bytes.resize(got);
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

CommandResult runCommand(const std::string& shellCommand) {
  if (!insideSandbox()) return {-1, "refused: not inside a sandbox\n"};
  UniqueFd out(::memfd_create("output", MFD_CLOEXEC));  // the spawn helper hands it on as standard output
  CommandResult res{runShellCommand("( " + shellCommand + " ) </dev/null 2>&1", {.stdoutFd = out.get()}), ""};
  readFromStart(out.get(), &res.output);
  return res;
}

CommandResult runCtl(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ctlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(joinArguments(argv));
}

void DaemonTest::SetUp() {
  ASSERT_TRUE(insideSandbox()) << "integration tests run only inside tundrafox-sandbox";
  // Sanitizer reports go to files TearDown looks at, so the daemon's exit statuses stay its own. No leak
  // checks: its processes end without joining detached threads.
  const std::string log = "log_path=" + kSandboxDir + "sanitizer";
  ::setenv("ASAN_OPTIONS", (log + ":detect_leaks=0").c_str(), 1);
  ::setenv("UBSAN_OPTIONS", (log + ":print_stacktrace=1").c_str(), 1);
  ::setenv("TSAN_OPTIONS", (log + ":exitcode=0").c_str(), 1);
}

void DaemonTest::TearDown() {
  const std::string reports = runCommand("cat " + kSandboxDir + "sanitizer* 2>/dev/null").output;
  if (!reports.empty()) ADD_FAILURE() << "sanitizer reports:\n" << reports;
  if (HasFailure())
    std::printf("%s", runCommand("cd " + kSandboxDir + " && for f in syslog stubs.log daemon.out; do "
                                 "echo \"--- $f (last lines)\"; tail -n 60 $f | sed 's/^/    /'; done").output.c_str());
  std::fflush(stdout);
}

}  // namespace itest
