// Round trips of command 5 (connect, send the 64005-byte record, read the
// 9-byte reply, close) against the real daemon, next to a bare loopback
// floor measured in the same run.
//
//   roundtrip_bench [--sequential N] [--clients C] [--per-client M]
//                   [--rounds R] [--log-queue N] [--floor-shares-session]
//                   [--daemon PATH]
//
// Runs only inside tundrafox-sandbox; started outside one it re-runs itself
// in a fresh one. It starts the real daemon, which resets the firewall of
// the network namespace it runs in and writes /run, /tmp and /usr/share.
//
// The floor is a server in a process of its own (forked by this program)
// that does the least the same exchange needs, shaped like the daemon's
// listener: an accept loop on 127.0.0.1, one detached thread per
// connection with the daemon's stack size, the record received into the
// thread's frame, 9 bytes sent, an abortive close (linger 0, as the
// daemon's sockets). It sets no time-outs, logs nothing and dispatches
// nothing.
//
// --log-queue N puts a system-log receiver with a queue of N datagrams in
// place of the sandbox's /dev/log (see replaceDevLog).
//
// A second floor, "floor+log", also sends the two system-log lines that the
// daemon sends per command-5 request, with syslog(3) and the daemon's log
// options; it is a diagnostic that shows what those lines cost when they
// go through syslog(3)'s process-wide lock (the daemon sends them without).
//
// The floor leads a session of its own, as the detached daemon does (see
// startFloorProcess); --floor-shares-session leaves it in this program's
// session, to show what that changes.
//
// Within a round the servers take turns in small blocks (250 sequential
// round trips, or 64 x 25 concurrent ones), so other work on the machine
// falls on all of them alike; the summary takes the median of each figure
// over the R rounds. Ends with status 0 when every target is met, 1 when
// one is missed, 2 when the run itself failed.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/message.h"
#include "base/io.h"
#include "base/process.h"
#include "base/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char kPidLockFile[] = "/var/run/tundrafoxd.pid";
// Each client call is bounded, so a daemon that stops answering ends the
// run instead of hanging it.
constexpr int kClientTimeoutSeconds = 5;
// The daemon's connection threads get this stack; the floor's get the same.
constexpr size_t kConnectionStackSize = 512 * 1024;

// Targets.
constexpr double kMinThroughputRatio = 0.8;
constexpr double kMaxP99Ratio = 2.0;
constexpr double kMaxWorkerPeakMiB = 16.0;

struct Config {
  int sequential = 5000;
  int clients = 64;
  int perClient = 200;
  int rounds = 3;
  int warmup = 200;
  // 0: log to the sandbox's own /dev/log. N: put a receiver of our own in
  // its place, with a queue of N datagrams (see replaceDevLog).
  int logQueue = 0;
  // Leave the floor in this program's session (and so in its scheduling
  // autogroup) instead of a session of its own; for comparison only.
  bool floorSharesSession = false;
  std::string daemon;  // empty: the tundrafoxd built beside this program
};

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "roundtrip_bench: %s\n", what.c_str());
  std::exit(2);
}

std::string selfPath() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  buf[n] = '\0';
  return buf;
}

// The tundrafoxd of the same build tree.
std::string defaultDaemonPath() {
#ifdef TUNDRAFOXD_PATH
  return TUNDRAFOXD_PATH;
#else
  return "tundrafoxd";
#endif
}

// Started outside a sandbox: run this same command inside a fresh one.
int rerunInSandbox(char** argv) {
#ifdef TUNDRAFOX_SANDBOX_PATH
  std::vector<std::string> args = {TUNDRAFOX_SANDBOX_PATH, "--", selfPath()};
  for (char** a = argv + 1; *a != nullptr; ++a) args.emplace_back(*a);
  pid_t pid = spawnProcess(args);
  if (pid < 0) fail("cannot start tundrafox-sandbox");
  int status = waitProcess(pid);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 2;
#else
  (void)argv;
  fail("run me inside tundrafox-sandbox: I start the real daemon");
#endif
}

bool insideSandbox() {
  const char* dir = std::getenv("SANDBOX_DIR");
  const char* outer = std::getenv("SANDBOX_OUTER_NETNS");
  if (dir == nullptr || outer == nullptr) return false;
  struct stat st {};
  if (::stat("/proc/self/ns/net", &st) != 0) return false;
  return std::to_string(st.st_ino) != outer;
}

std::string fileText(const std::string& path) {
  std::string s;
  if (!readFile(path, &s)) return {};
  return s;
}

// ---- One client round trip. ----

enum class Outcome { kOk, kWrongReply, kRefused, kClosedEarly, kTimeout, kError };

struct Sample {
  Outcome outcome;
  double micros;
};

const unsigned char* command5Record() {
  static const MessagePacket packet = [] {
    MessagePacket p{};
    p.bytes[0] = AA_COMMAND_FIREWALL_SUPPORTED;
    return p;
  }();
  return packet.bytes;
}

// connect, send the whole record, read 9 bytes, close. The reply must be
// result 1 and eight zero bytes.
Sample roundTrip(uint16_t port) {
  const auto start = Clock::now();
  auto done = [start](Outcome o) {
    return Sample{o, std::chrono::duration<double, std::micro>(Clock::now() - start).count()};
  };
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return done(Outcome::kError);
  struct timeval tv {kClientTimeoutSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return done(errno == ECONNREFUSED ? Outcome::kRefused : Outcome::kError);

  const unsigned char* p = command5Record();
  size_t left = kMessagePacketSize;
  while (left > 0) {
    ssize_t n = ::send(fd.get(), p, left, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return done(Outcome::kTimeout);
    if (n <= 0) return done(Outcome::kClosedEarly);
    p += n;
    left -= static_cast<size_t>(n);
  }
  unsigned char reply[kMessageReplySize];
  size_t got = 0;
  while (got < sizeof reply) {
    ssize_t n = ::recv(fd.get(), reply + got, sizeof reply - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return done(Outcome::kTimeout);
    if (n <= 0) return done(Outcome::kClosedEarly);
    got += static_cast<size_t>(n);
  }
  fd.reset();
  static const unsigned char kWant[kMessageReplySize] = {1, 0, 0, 0, 0, 0, 0, 0, 0};
  return done(std::memcmp(reply, kWant, sizeof reply) == 0 ? Outcome::kOk : Outcome::kWrongReply);
}

// ---- The floor server. ----

// Diagnostic floor: also sends the two system-log lines that the daemon
// sends for every command-5 request, to the same /dev/log, with the same
// log options.
void* floorConnection(void* arg) {
  const intptr_t word = reinterpret_cast<intptr_t>(arg);
  const bool logs = (word & 1) != 0;
  UniqueFd client(static_cast<int>(word >> 1));
  MessagePacket packet;
  size_t got = 0;
  while (got < sizeof packet.bytes) {
    ssize_t n = ::recv(client.get(), packet.bytes + got, sizeof packet.bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return nullptr;
    got += static_cast<size_t>(n);
  }
  if (logs) syslog(LOG_INFO, "Receive command: %d\n", packet.bytes[0]);
  unsigned char reply[kMessageReplySize] = {};
  reply[0] = packet.bytes[0] == AA_COMMAND_FIREWALL_SUPPORTED ? 1 : 0;
  writeFull(client.get(), reply, sizeof reply);
  if (logs) syslog(LOG_INFO, "close(client_sock);");
  return nullptr;
}

class FloorServer {
 public:
  // `logs`: send the daemon's two log lines per request as well.
  explicit FloorServer(bool logs) {
    sock_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock_) fail("floor: socket");
    int one = 1;
    ::setsockopt(sock_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct linger lin {1, 0};
    ::setsockopt(sock_.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sock_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("floor: bind");
    if (::listen(sock_.get(), SOMAXCONN) != 0) fail("floor: listen");
    socklen_t len = sizeof addr;
    ::getsockname(sock_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    std::thread([fd = sock_.get(), logs] { acceptLoop(fd, logs); }).detach();
  }
  uint16_t port() const { return port_; }

 private:
  static void acceptLoop(int listenFd, bool logs) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kConnectionStackSize);
    for (;;) {
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      pthread_t t;
      const intptr_t word = (static_cast<intptr_t>(fd) << 1) | (logs ? 1 : 0);
      if (pthread_create(&t, &attr, floorConnection, reinterpret_cast<void*>(word)) != 0)
        ::close(fd);
    }
  }

  UniqueFd sock_;
  uint16_t port_ = 0;
};

// The two floor servers run in a process of their own, as the daemon does,
// so that both pay for switching between the client's process and the
// server's. The process also leads a session of its own, as the detached
// daemon does: with the kernel's scheduler autogroups (on by default in
// Debian's kernels) each session shares out the CPUs as one group, so a
// floor left in the client's session would be scheduled beside the 64
// client threads while the daemon competes with them as a group, and the
// two tails would not be comparable.
struct FloorPorts {
  pid_t pid = -1;
  uint16_t plain = 0;
  uint16_t logging = 0;
};

FloorPorts startFloorProcess(bool ownSession) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe");
  FloorPorts ports;
  // No thread exists yet in this process: forking is safe.
  ports.pid = ::fork();
  if (ports.pid < 0) fail("fork");
  if (ports.pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (ownSession) ::setsid();
    ::close(fds[0]);
    // Log as the detached daemon does: the same options, standard error on
    // /dev/null (LOG_PERROR copies every line there).
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) ::dup2(devnull, STDERR_FILENO);
    openlog("roundtrip_bench", LOG_CONS | LOG_PERROR, LOG_USER);
    FloorServer plain(false);
    FloorServer logging(true);
    uint16_t both[2] = {plain.port(), logging.port()};
    writeFull(fds[1], both, sizeof both);
    ::close(fds[1]);
    for (;;) ::pause();
  }
  ::close(fds[1]);
  uint16_t both[2];
  if (!readFull(fds[0], both, sizeof both)) fail("the floor process did not start");
  ::close(fds[0]);
  ports.plain = both[0];
  ports.logging = both[1];
  return ports;
}

// Replaces the sandbox's /dev/log with a receiver whose queue holds
// `queue` datagrams, in a process of its own that appends each datagram to
// /tmp/bench-syslog as the sandbox's init does. A sender blocks while the
// receiver's queue is full, and the queue length is the network namespace's
// net.unix.max_dgram_qlen when the socket is made: 10 by default, as in the
// sandbox, while systemd hosts set 512. Everything here is the sandbox's
// own (its /dev, its network namespace). Call before anything logs.
pid_t replaceDevLog(int queue) {
  UniqueFd knob(::open("/proc/sys/net/unix/max_dgram_qlen", O_WRONLY | O_CLOEXEC));
  if (!knob || !writeFull(knob.get(), std::to_string(queue))) fail("cannot set net.unix.max_dgram_qlen");
  knob.reset();
  const char* kStaging = "/dev/log.bench";
  ::unlink(kStaging);
  UniqueFd sock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, kStaging);
  if (!sock || ::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind " + std::string(kStaging));
  ::chmod(kStaging, 0666);
  if (::rename(kStaging, "/dev/log") != 0) fail("rename over /dev/log");
  pid_t pid = ::fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    UniqueFd out(::open("/tmp/bench-syslog", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    std::vector<char> buf(64 * 1024);
    for (;;) {
      ssize_t n = ::recv(sock.get(), buf.data(), buf.size(), 0);
      if (n > 0) writeFull(out.get(), buf.data(), static_cast<size_t>(n));
    }
  }
  return pid;
}

// ---- The daemon under test. ----

bool portListening(uint16_t port) {
  std::istringstream in(fileText("/proc/net/tcp"));
  std::string line;
  std::getline(in, line);
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

pid_t readPid(const std::string& path) {
  long v = std::strtol(fileText(path).c_str(), nullptr, 10);
  return v > 0 ? static_cast<pid_t>(v) : -1;
}

// The monitor's living child: the worker.
pid_t findWorker(pid_t monitor) {
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return -1;
  pid_t found = -1;
  while (dirent* e = ::readdir(d)) {
    char* end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (*end != '\0' || pid <= 0) continue;
    std::string stat = fileText("/proc/" + std::string(e->d_name) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    long ppid = 0;
    std::istringstream(stat.substr(close + 2)) >> state >> ppid;
    if (ppid == monitor && state != 'Z') {
      found = static_cast<pid_t>(pid);
      break;
    }
  }
  ::closedir(d);
  return found;
}

// A "Name:   value kB" line of /proc/PID/status, in KiB (-1 if absent).
long statusKiB(pid_t pid, const std::string& name) {
  std::istringstream in(fileText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, name.size() + 1, name + ":") == 0) return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
  }
  return -1;
}

// CPU time (user + system) that process `pid` has used so far, in seconds;
// -1 when it cannot be read.
double cpuSeconds(pid_t pid) {
  const std::string stat = fileText("/proc/" + std::to_string(pid) + "/stat");
  const size_t end = stat.rfind(')');  // the command name may hold spaces
  if (end == std::string::npos) return -1;
  std::istringstream in(stat.substr(end + 1));
  std::string field;
  // Fields 3 to 13, then utime (14) and stime (15).
  for (int i = 3; i <= 13; ++i) in >> field;
  unsigned long long utime = 0, stime = 0;
  if (!(in >> utime >> stime)) return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

pid_t startDaemon(const std::string& path) {
  std::string cmd = "exec '" + path + "' </dev/null >/dev/null 2>&1";
  if (!exitedZero(runShellCommand(cmd))) fail("the daemon's starting process did not end with status 0");
  if (!waitFor([] { return portListening(kControlPort); }, 10000)) fail("the daemon does not listen on 23589");
  pid_t monitor = readPid(kPidLockFile);
  pid_t worker = -1;
  if (monitor <= 0 || !waitFor([&] { return (worker = findWorker(monitor)) > 0; }, 5000)) fail("no worker process");
  return worker;
}

void stopDaemon() {
  pid_t monitor = readPid(kPidLockFile);
  if (monitor > 0) ::kill(monitor, SIGTERM);
  waitFor([] { return !portListening(kControlPort); }, 5000);
}

// ---- Measuring. ----

struct Stats {
  int requests = 0;
  int ok = 0;
  int lost = 0;  // anything but a correct reply
  double seconds = 0;
  double perSecond = 0;
  double p50 = 0;
  double p99 = 0;
};

double percentile(std::vector<double>& v, double q) {
  if (v.empty()) return 0;
  size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

Stats summarise(const std::vector<Sample>& samples, double seconds) {
  Stats s;
  s.requests = static_cast<int>(samples.size());
  s.seconds = seconds;
  std::vector<double> lat;
  lat.reserve(samples.size());
  for (const Sample& x : samples) {
    if (x.outcome == Outcome::kOk) {
      ++s.ok;
      lat.push_back(x.micros);
    } else {
      ++s.lost;
    }
  }
  s.perSecond = seconds > 0 ? s.ok / seconds : 0;
  s.p50 = percentile(lat, 0.50);
  s.p99 = percentile(lat, 0.99);
  return s;
}

// Samples of one server, gathered over several blocks, and the time spent
// in them.
struct Batch {
  std::vector<Sample> samples;
  double seconds = 0;
  void add(Batch&& other) {
    samples.insert(samples.end(), other.samples.begin(), other.samples.end());
    seconds += other.seconds;
  }
};

Batch runSequential(uint16_t port, int count) {
  Batch b;
  b.samples.reserve(static_cast<size_t>(count));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) b.samples.push_back(roundTrip(port));
  b.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return b;
}

Batch runConcurrent(uint16_t port, int clients, int perClient) {
  std::vector<std::vector<Sample>> perThread(static_cast<size_t>(clients));
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      auto& mine = perThread[static_cast<size_t>(c)];
      mine.reserve(static_cast<size_t>(perClient));
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < perClient; ++i) mine.push_back(roundTrip(port));
    });
  }
  while (ready.load() < clients) std::this_thread::yield();
  const auto start = Clock::now();
  go.store(true);
  for (auto& t : threads) t.join();
  Batch b;
  b.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& v : perThread) b.samples.insert(b.samples.end(), v.begin(), v.end());
  return b;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Series {
  std::vector<double> perSecond, p50, p99;
  int requests = 0, lost = 0;
  void add(const Stats& s) {
    perSecond.push_back(s.perSecond);
    p50.push_back(s.p50);
    p99.push_back(s.p99);
    requests += s.requests;
    lost += s.lost;
  }
};

void printRound(const char* phase, int round, const char* who, const Stats& s) {
  std::printf("  %-10s round %d  %-11s %6d req  %8.0f req/s  p50 %7.1f us  p99 %8.1f us  lost %d\n", phase, round,
              who, s.requests, s.perSecond, s.p50, s.p99, s.lost);
  std::fflush(stdout);
}

// The servers measured side by side.
struct Target {
  const char* name;
  uint16_t port;
  Series sequential, concurrent;
};

// One round: every target gets the same requests, in small blocks taken in
// turn, so that a disturbance of the machine (other work on the same cores)
// falls on all of them alike instead of on whichever ran at that moment.
void runRound(std::vector<Target>& targets, int round, const Config& cfg) {
  constexpr int kSequentialBlock = 250;
  constexpr int kConcurrentBlockPerClient = 25;
  std::vector<Batch> seq(targets.size()), con(targets.size());
  for (int done = 0; done < cfg.sequential; done += kSequentialBlock) {
    const int n = std::min(kSequentialBlock, cfg.sequential - done);
    for (size_t t = 0; t < targets.size(); ++t) seq[t].add(runSequential(targets[t].port, n));
  }
  for (int done = 0; done < cfg.perClient; done += kConcurrentBlockPerClient) {
    const int n = std::min(kConcurrentBlockPerClient, cfg.perClient - done);
    for (size_t t = 0; t < targets.size(); ++t) con[t].add(runConcurrent(targets[t].port, cfg.clients, n));
  }
  for (size_t t = 0; t < targets.size(); ++t) {
    Stats s = summarise(seq[t].samples, seq[t].seconds);
    printRound("sequential", round, targets[t].name, s);
    targets[t].sequential.add(s);
  }
  for (size_t t = 0; t < targets.size(); ++t) {
    Stats s = summarise(con[t].samples, con[t].seconds);
    printRound("concurrent", round, targets[t].name, s);
    targets[t].concurrent.add(s);
  }
}

bool check(const char* what, bool met, const std::string& figures) {
  std::printf("  [%s] %-44s %s\n", met ? "met " : "MISS", what, figures.c_str());
  return met;
}

std::string ratioText(double r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2fx", r);
  return buf;
}

Config parseArgs(int argc, char** argv) {
  Config c;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto number = [&](int* out) {
      if (i + 1 >= argc) fail("missing value after " + a);
      *out = std::atoi(argv[++i]);
      if (*out <= 0) fail("bad value for " + a);
    };
    if (a == "--sequential") {
      number(&c.sequential);
    } else if (a == "--clients") {
      number(&c.clients);
    } else if (a == "--per-client") {
      number(&c.perClient);
    } else if (a == "--rounds") {
      number(&c.rounds);
    } else if (a == "--log-queue") {
      number(&c.logQueue);
    } else if (a == "--floor-shares-session") {
      c.floorSharesSession = true;
    } else if (a == "--daemon" && i + 1 < argc) {
      c.daemon = argv[++i];
    } else {
      fail("usage: roundtrip_bench [--sequential N] [--clients C] [--per-client M] [--rounds R] [--log-queue N] "
           "[--floor-shares-session] [--daemon PATH]");
    }
  }
  return c;
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg = parseArgs(argc, argv);
  if (!insideSandbox()) return rerunInSandbox(argv);
  if (cfg.daemon.empty()) cfg.daemon = defaultDaemonPath();
  ::signal(SIGPIPE, SIG_IGN);

  const pid_t logReceiver = cfg.logQueue > 0 ? replaceDevLog(cfg.logQueue) : -1;
  const FloorPorts floor = startFloorProcess(!cfg.floorSharesSession);
  const pid_t worker = startDaemon(cfg.daemon);
  const long startHwm = statusKiB(worker, "VmHWM");
  std::printf("round trips of command 5: %d sequential, %d clients x %d concurrent, %d rounds\n", cfg.sequential,
              cfg.clients, cfg.perClient, cfg.rounds);
  std::printf("floor: server in a process of its own, thread per connection, no logging\n"
              "floor+log: the same, plus the daemon's two system-log lines per request sent with syslog(3)"
              " (diagnostic)\n"
              "daemon: worker pid %d (in the sandbox)\n"
              "system log: %s\n",
              worker,
              cfg.logQueue > 0 ? ("own receiver, queue of " + std::to_string(cfg.logQueue) + " datagrams").c_str()
                               : "the sandbox's /dev/log (queue of 10 datagrams)");
  // Which scheduler autogroup each side is in (empty where the kernel has none).
  auto group = [](const std::string& pid) {
    std::string g = fileText("/proc/" + pid + "/autogroup");
    return g.empty() ? std::string("-") : g.substr(0, g.find(' '));
  };
  std::printf("autogroups: clients %s, floor %s, daemon worker %s\n", group("self").c_str(),
              group(std::to_string(floor.pid)).c_str(), group(std::to_string(worker)).c_str());

  std::vector<Target> targets = {{"floor", floor.plain, {}, {}},
                                 {"floor+log", floor.logging, {}, {}},
                                 {"daemon", kControlPort, {}, {}}};
  // Warm all up (page faults, first log lines, thread stacks).
  for (const Target& t : targets) runSequential(t.port, cfg.warmup);
  for (int r = 1; r <= cfg.rounds; ++r) runRound(targets, r, cfg);
  const Target& f = targets[0];
  const Target& fl = targets[1];
  const Target& d = targets[2];

  const pid_t workerAfter = findWorker(readPid(kPidLockFile));
  const long peakKiB = statusKiB(worker, "VmHWM");
  const long rssKiB = statusKiB(worker, "VmRSS");
  // What the system log costs the machine: the receiver's CPU time per
  // datagram (two per request to floor+log and to the daemon).
  const double receiverSeconds = logReceiver > 0 ? cpuSeconds(logReceiver) : -1;
  const int loggedRequests = 2 * cfg.warmup + fl.sequential.requests + fl.concurrent.requests +
                             d.sequential.requests + d.concurrent.requests;

  auto row = [](const char* phase, const char* who, const Series& floorS, const Series& s) {
    double fr = median(floorS.perSecond), r = median(s.perSecond);
    double f50 = median(floorS.p50), p50 = median(s.p50), f99 = median(floorS.p99), p99 = median(s.p99);
    std::printf("%-10s | %-9s | %9.0f | %5.2fx | %8.1f | %5.2fx | %8.1f | %5.2fx | %d/%d\n", phase, who, r,
                fr > 0 ? r / fr : 0, p50, f50 > 0 ? p50 / f50 : 0, p99, f99 > 0 ? p99 / f99 : 0, s.lost, s.requests);
  };
  std::printf("\nmedians over %d rounds (latency in microseconds; ratios to the floor)\n", cfg.rounds);
  std::printf("%-10s | %-9s | %9s | %6s | %8s | %6s | %8s | %6s | %s\n", "phase", "server", "req/s", "ratio", "p50",
              "ratio", "p99", "ratio", "lost");
  row("sequential", "floor", f.sequential, f.sequential);
  row("sequential", "floor+log", f.sequential, fl.sequential);
  row("sequential", "daemon", f.sequential, d.sequential);
  row("concurrent", "floor", f.concurrent, f.concurrent);
  row("concurrent", "floor+log", f.concurrent, fl.concurrent);
  row("concurrent", "daemon", f.concurrent, d.concurrent);
  std::printf("worker peak RSS (VmHWM): %.2f MiB (%.2f MiB after start-up; VmRSS now %.2f MiB)\n", peakKiB / 1024.0,
              startHwm / 1024.0, rssKiB / 1024.0);
  if (receiverSeconds >= 0) {
    std::printf("system-log receiver: %.1f s of CPU for about %d datagrams, %.1f us per datagram\n",
                receiverSeconds, 2 * loggedRequests, receiverSeconds * 1e6 / (2.0 * loggedRequests));
  }

  std::printf("\ntargets\n");
  bool all = true;
  const double seqRatio = median(d.sequential.perSecond) / std::max(1.0, median(f.sequential.perSecond));
  all &= check("sequential throughput >= 0.8x floor", seqRatio >= kMinThroughputRatio, ratioText(seqRatio));
  const double p99Ratio = median(d.sequential.p99) / std::max(1.0, median(f.sequential.p99));
  all &= check("sequential p99 <= 2x floor p99", p99Ratio <= kMaxP99Ratio, ratioText(p99Ratio));
  const double conP99Ratio = median(d.concurrent.p99) / std::max(1.0, median(f.concurrent.p99));
  all &= check("concurrent p99 <= 2x floor p99", conP99Ratio <= kMaxP99Ratio, ratioText(conP99Ratio));
  all &= check("64 concurrent clients: no lost reply", d.concurrent.lost == 0,
               "daemon lost " + std::to_string(d.concurrent.lost) + " of " + std::to_string(d.concurrent.requests));
  all &= check("no lost reply in sequential runs", d.sequential.lost == 0,
               "daemon lost " + std::to_string(d.sequential.lost) + " of " + std::to_string(d.sequential.requests));
  all &= check("worker peak RSS < 16 MiB", peakKiB > 0 && peakKiB / 1024.0 < kMaxWorkerPeakMiB,
               std::to_string(peakKiB) + " KiB");
  all &= check("the same worker served the whole run", workerAfter == worker,
               "pid " + std::to_string(worker) + " then " + std::to_string(workerAfter));
  stopDaemon();
  ::kill(floor.pid, SIGKILL);
  if (logReceiver > 0) ::kill(logReceiver, SIGKILL);
  return all ? 0 : 1;
}
