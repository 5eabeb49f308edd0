// Round trips of command 5 (connect, send the 64005-byte record, read the
// 9-byte reply, close) against the real daemon, next to the fastest servers
// this exchange allows on loopback, measured in the same run.
//
//   roundtrip_bench [--sequential N] [--clients C] [--per-client M]
//                   [--rounds R] [--log-queue N] [--floor-shares-session]
//                   [--daemon PATH]
//
// Runs only inside tundrafox-sandbox; started outside one it re-runs itself
// in a fresh one. It starts the real daemon, which resets the firewall of
// the network namespace it runs in and writes /run, /tmp and /usr/share.
//
// The floors are servers in processes of their own (forked by this
// program) that do the least the exchange needs: the record received, 9
// bytes sent, an abortive close (linger 0, as the daemon's sockets); no
// time-outs, no logging, no dispatch. Four shapes (see FloorShape): a
// thread per connection, one thread that does everything, a pool of
// threads kept for the next connection that each accept, and the daemon's
// shape (one thread accepts and hands over to kept threads). The best
// floor of a phase is the best of the four, figure by figure. Beside them, diagnostics: each shape
// with the daemon's two system-log lines per request ("+log"), and the
// one-thread floor with the peer check at accept ("+netlink", "+proc"),
// from which the check's cost per connection is read.
//
// --log-queue N puts a system-log receiver with a queue of N datagrams in
// place of the sandbox's /dev/log (see replaceDevLog).
//
// Each floor leads a session of its own, as the detached daemon does (see
// startFloorProcess); --floor-shares-session leaves them in this program's
// session, to show what that changes.
//
// Within a round the servers take turns in small blocks (50 sequential
// round trips, or 64 x 10 concurrent ones), so other work on the machine
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
#include <condition_variable>
#include <deque>
#include <mutex>
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
#include "base/peer_owner.h"
#include "base/process.h"
#include "base/safe_syslog.h"
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
// The peer check may cost the sequential ratio this much.
constexpr double kMaxPeerCheckShare = 0.05;

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

// ---- The floor servers. ----

// How a floor server spreads its connections over threads.
enum class FloorShape {
  // One detached thread per connection with the daemon's stack size, the
  // record received into the thread's frame: the daemon's listener as it
  // was first written.
  kThreadPerConnection,
  // The process's one thread accepts, reads the record, writes the reply
  // and closes, then accepts the next: no thread switch at all, the least
  // any server for this protocol can do on loopback.
  kOneThread,
  // A fixed pool of threads, each blocked in accept on the shared socket
  // and serving the connection it gets on its own frame: threads kept for
  // the next connection, without the daemon's hand-over from an accepting
  // thread to a serving one.
  kPool,
  // The daemon's shape: one thread accepts and hands each connection to
  // one of kPoolThreads kept threads (a mutex and a condition variable);
  // a diagnostic of what the hand-over costs.
  kHandOver,
};

// What a floor server does beyond the bare exchange (flags).
enum FloorExtra : unsigned {
  kNoExtra = 0,
  // The two system-log lines that the daemon sends for every command-5
  // request, sent as the daemon sends them (base/safe_syslog: one
  // connected datagram socket, no lock) to the same /dev/log.
  kLog = 1,
  // The daemon's peer check at accept: who owns the client's socket, over
  // netlink, or by the /proc/net/tcp scan that stands in when netlink has
  // no answer. A client not found as root gets a wrong reply (counted lost).
  kCheckNetlink = 2,
  kCheckProc = 4,
};

// Pool threads: more than the two CPUs, so that a client that stalls in
// its send does not leave a CPU idle, and as many as the daemon keeps.
constexpr int kPoolThreads = 4;

struct FloorServerKind {
  FloorShape shape;
  FloorExtra extra;
};

// Accept, then the peer check when the server makes one: -1 when the socket
// no longer listens, else the descriptor with the check's result.
int floorAccept(int listenFd, FloorExtra extra, bool* admitted) {
  for (;;) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return -1;
    }
    *admitted = true;
    if ((extra & (kCheckNetlink | kCheckProc)) != 0) {
      PeerOwner o = findPeerOwner(fd, (extra & kCheckNetlink) != 0 ? PeerLookup::kNetlink : PeerLookup::kProcNetTcp);
      *admitted = o.found && o.uid == 0;
    }
    return fd;
  }
}

// One connection, on the caller's frame buffer: receive the record, reply
// (all zero for a refused peer), close (abortive: linger 0 is inherited).
void floorServe(int fd, FloorExtra extra, bool admitted, MessagePacket& packet) {
  UniqueFd client(fd);
  size_t got = 0;
  while (got < sizeof packet.bytes) {
    ssize_t n = ::recv(client.get(), packet.bytes + got, sizeof packet.bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    got += static_cast<size_t>(n);
  }
  const bool logs = (extra & kLog) != 0;
  if (logs) syslogLine(LOG_INFO, packet.bytes[0] == 5 ? "Receive command: 5\n" : "Receive command: ?\n");
  unsigned char reply[kMessageReplySize] = {};
  reply[0] = admitted && packet.bytes[0] == AA_COMMAND_FIREWALL_SUPPORTED ? 1 : 0;
  writeFull(client.get(), reply, sizeof reply);
  if (logs) syslogLine(LOG_INFO, "close(client_sock);");
}

struct FloorConnection {
  int listenFd;
  FloorExtra extra;
};

void* floorConnectionThread(void* arg) {
  // The word holds the descriptor, the extra and the check's result.
  const intptr_t word = reinterpret_cast<intptr_t>(arg);
  MessagePacket packet;
  floorServe(static_cast<int>(word >> 4), static_cast<FloorExtra>(word & 7), (word & 8) != 0, packet);
  return nullptr;
}

void* floorPoolThread(void* arg) {
  const FloorConnection c = *static_cast<const FloorConnection*>(arg);
  MessagePacket packet;
  bool admitted = false;
  for (int fd; (fd = floorAccept(c.listenFd, c.extra, &admitted)) >= 0;) floorServe(fd, c.extra, admitted, packet);
  return nullptr;
}

// The kHandOver floor's connections accepted and not yet taken.
struct HandOverQueue {
  std::mutex mu;
  std::condition_variable ready;
  std::deque<std::pair<int, bool>> fds;  // descriptor, admitted
  FloorExtra extra = kNoExtra;
};

void* floorHandOverThread(void* arg) {
  auto& q = *static_cast<HandOverQueue*>(arg);
  MessagePacket packet;
  for (;;) {
    std::pair<int, bool> next;
    {
      std::unique_lock<std::mutex> lock(q.mu);
      q.ready.wait(lock, [&] { return !q.fds.empty(); });
      next = q.fds.front();
      q.fds.pop_front();
    }
    floorServe(next.first, q.extra, next.second, packet);
  }
  return nullptr;
}

// Runs one floor server on `listenFd` in the calling (the process's only)
// thread; never returns while the socket listens.
void runFloorServer(int listenFd, const FloorServerKind& kind) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kConnectionStackSize);
  bool admitted = false;
  switch (kind.shape) {
    case FloorShape::kOneThread: {
      static MessagePacket packet;
      for (int fd; (fd = floorAccept(listenFd, kind.extra, &admitted)) >= 0;) floorServe(fd, kind.extra, admitted, packet);
      break;
    }
    case FloorShape::kThreadPerConnection:
      for (int fd; (fd = floorAccept(listenFd, kind.extra, &admitted)) >= 0;) {
        const intptr_t word = (static_cast<intptr_t>(fd) << 4) | (admitted ? 8 : 0) | static_cast<intptr_t>(kind.extra);
        pthread_t t;
        if (pthread_create(&t, &attr, floorConnectionThread, reinterpret_cast<void*>(word)) != 0) ::close(fd);
      }
      break;
    case FloorShape::kPool: {
      static FloorConnection shared;
      shared = {listenFd, kind.extra};
      for (int i = 0; i < kPoolThreads; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, floorPoolThread, &shared) != 0) fail("floor: pthread_create");
      }
      for (;;) ::pause();
    }
    case FloorShape::kHandOver: {
      static HandOverQueue queue;
      queue.extra = kind.extra;
      for (int i = 0; i < kPoolThreads; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, floorHandOverThread, &queue) != 0) fail("floor: pthread_create");
      }
      for (int fd; (fd = floorAccept(listenFd, kind.extra, &admitted)) >= 0;) {
        {
          std::lock_guard<std::mutex> lock(queue.mu);
          queue.fds.emplace_back(fd, admitted);
        }
        queue.ready.notify_one();
      }
      break;
    }
  }
}

// Each floor server runs in a process of its own, as the daemon does, so
// that all pay for switching between the client's process and the
// server's, and the one-thread floor really has no other thread. The
// process also leads a session of its own, as the detached daemon does:
// with the kernel's scheduler autogroups (on by default in Debian's
// kernels) each session shares out the CPUs as one group, so a floor left
// in the client's session would be scheduled beside the 64 client threads
// while the daemon competes with them as a group, and the two tails would
// not be comparable. Returns the process and its port.
struct FloorProcess {
  pid_t pid = -1;
  uint16_t port = 0;
};

FloorProcess startFloorProcess(const FloorServerKind& kind, bool ownSession) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe");
  FloorProcess proc;
  // No thread exists yet in this process: forking is safe.
  proc.pid = ::fork();
  if (proc.pid < 0) fail("fork");
  if (proc.pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (ownSession) ::setsid();
    ::close(fds[0]);
    // Log as the detached daemon does.
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devnull >= 0) ::dup2(devnull, STDERR_FILENO);
    openlog("roundtrip_bench", LOG_CONS, LOG_USER);
    safeSyslogInit("roundtrip_bench");
    syslogLineOpen();
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) fail("floor: socket");
    int one = 1;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct linger lin {1, 0};
    ::setsockopt(sock.get(), SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(sock.get(), SOMAXCONN) != 0 ||
        ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      fail("floor: bind");
    const uint16_t port = ntohs(addr.sin_port);
    writeFull(fds[1], &port, sizeof port);
    ::close(fds[1]);
    runFloorServer(sock.get(), kind);
    std::_Exit(0);
  }
  ::close(fds[1]);
  if (!readFull(fds[0], &proc.port, sizeof proc.port)) fail("a floor process did not start");
  ::close(fds[0]);
  return proc;
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
  std::printf("  %-10s round %d  %-16s %6d req  %8.0f req/s  p50 %7.1f us  p99 %8.1f us  lost %d\n", phase, round,
              who, s.requests, s.perSecond, s.p50, s.p99, s.lost);
  std::fflush(stdout);
}

// The servers measured side by side.
struct Target {
  std::string name;
  uint16_t port;
  // A floor that does the bare exchange: a candidate for the best floor.
  bool bareFloor;
  // Sends the daemon's two log lines per request.
  bool logs;
  // Its share of the sequential round trips, in tenths: the /proc scan
  // costs milliseconds, so that server gets a tenth of them.
  int sequentialTenths;
  bool inConcurrentPhase;
  Series sequential, concurrent;
};

int sequentialShare(const Target& t, int n) { return std::max(1, n * t.sequentialTenths / 10); }

// One round: every target gets the same requests, in small blocks taken in
// turn, so that a disturbance of the machine (other work on the same cores)
// falls on all of them alike instead of on whichever ran at that moment.
void runRound(std::vector<Target>& targets, int round, const Config& cfg) {
  constexpr int kSequentialBlock = 50;
  constexpr int kConcurrentBlockPerClient = 10;
  std::vector<Batch> seq(targets.size()), con(targets.size());
  for (int done = 0; done < cfg.sequential; done += kSequentialBlock) {
    const int n = std::min(kSequentialBlock, cfg.sequential - done);
    for (size_t t = 0; t < targets.size(); ++t) seq[t].add(runSequential(targets[t].port, sequentialShare(targets[t], n)));
  }
  for (int done = 0; done < cfg.perClient; done += kConcurrentBlockPerClient) {
    const int n = std::min(kConcurrentBlockPerClient, cfg.perClient - done);
    for (size_t t = 0; t < targets.size(); ++t) {
      if (targets[t].inConcurrentPhase) con[t].add(runConcurrent(targets[t].port, cfg.clients, n));
    }
  }
  for (size_t t = 0; t < targets.size(); ++t) {
    Stats s = summarise(seq[t].samples, seq[t].seconds);
    printRound("sequential", round, targets[t].name.c_str(), s);
    targets[t].sequential.add(s);
  }
  for (size_t t = 0; t < targets.size(); ++t) {
    if (!targets[t].inConcurrentPhase) continue;
    Stats s = summarise(con[t].samples, con[t].seconds);
    printRound("concurrent", round, targets[t].name.c_str(), s);
    targets[t].concurrent.add(s);
  }
}

// The best of the bare floors in one phase, figure by figure: the highest
// throughput, the lowest p50 and p99 (each may come from another floor).
struct BestFloor {
  const Target* fastest = nullptr;
  double perSecond = 0, p50 = 0, p99 = 0;
};

BestFloor bestFloor(const std::vector<Target>& targets, Series Target::*phase) {
  BestFloor b;
  for (const Target& t : targets) {
    if (!t.bareFloor) continue;
    const Series& s = t.*phase;
    const double r = median(s.perSecond), p50 = median(s.p50), p99 = median(s.p99);
    if (b.fastest == nullptr || r > b.perSecond) {
      b.fastest = &t;
      b.perSecond = r;
    }
    if (b.p50 == 0 || p50 < b.p50) b.p50 = p50;
    if (b.p99 == 0 || p99 < b.p99) b.p99 = p99;
  }
  return b;
}

const Target* findTarget(const std::vector<Target>& targets, const std::string& name) {
  for (const Target& t : targets) {
    if (t.name == name) return &t;
  }
  return nullptr;
}

// What a server adds to each round trip over `base`, in microseconds: the
// difference of the two median p50 latencies of one phase (the typical
// round trip; throughput also carries every preemption by other work).
double addedMicros(const Series& base, const Series& with) { return median(with.p50) - median(base.p50); }

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
  struct FloorDef {
    const char* name;
    FloorServerKind kind;
    int sequentialTenths;
    bool inConcurrentPhase;
  };
  // The peer-check floors are measured one request at a time only, where
  // the check's cost shows whole; the /proc scan takes milliseconds.
  const FloorDef floorDefs[] = {
      {"thr/conn", {FloorShape::kThreadPerConnection, kNoExtra}, 10, true},
      {"one", {FloorShape::kOneThread, kNoExtra}, 10, true},
      {"pool", {FloorShape::kPool, kNoExtra}, 10, true},
      {"hand-over", {FloorShape::kHandOver, kNoExtra}, 10, true},
      {"one+log", {FloorShape::kOneThread, kLog}, 10, true},
      {"pool+log", {FloorShape::kPool, kLog}, 10, true},
      {"hand-over+log", {FloorShape::kHandOver, kLog}, 10, true},
      {"one+netlink", {FloorShape::kOneThread, kCheckNetlink}, 10, false},
      {"one+proc", {FloorShape::kOneThread, kCheckProc}, 1, false},
      // What every server must do per request: the log lines and the check.
      {"one+log+nl", {FloorShape::kOneThread, FloorExtra(kLog | kCheckNetlink)}, 10, false},
      {"hand-over+log+nl", {FloorShape::kHandOver, FloorExtra(kLog | kCheckNetlink)}, 10, false},
  };
  std::vector<Target> targets;
  std::vector<pid_t> floorPids;
  for (const FloorDef& def : floorDefs) {
    const FloorProcess proc = startFloorProcess(def.kind, !cfg.floorSharesSession);
    floorPids.push_back(proc.pid);
    targets.push_back({def.name, proc.port, def.kind.extra == kNoExtra, (def.kind.extra & kLog) != 0,
                       def.sequentialTenths, def.inConcurrentPhase, {}, {}});
  }
  const pid_t worker = startDaemon(cfg.daemon);
  targets.push_back({"daemon", kControlPort, false, true, 10, true, {}, {}});
  const long startHwm = statusKiB(worker, "VmHWM");
  std::printf("round trips of command 5: %d sequential, %d clients x %d concurrent, %d rounds\n", cfg.sequential,
              cfg.clients, cfg.perClient, cfg.rounds);
  std::printf("floors, each a server in a process of its own, on 127.0.0.1:\n"
              "  thr/conn: a detached thread per connection; one: one thread accepts, reads, writes, closes;\n"
              "  pool: %d threads kept, each accepting and serving; hand-over: one thread accepts and hands each\n"
              "  connection to a kept thread, as the daemon does; +log: the daemon's two log lines per request\n"
              "  (diagnostic); +netlink, +proc: the peer check at accept (netlink; the /proc/net/tcp scan,\n"
              "  a tenth of the sequential requests)\n"
              "daemon: worker pid %d (in the sandbox)\n"
              "system log: %s\n",
              kPoolThreads, worker,
              cfg.logQueue > 0 ? ("own receiver, queue of " + std::to_string(cfg.logQueue) + " datagrams").c_str()
                               : "the sandbox's /dev/log (queue of 10 datagrams)");
  // Which scheduler autogroup each side is in (empty where the kernel has none).
  auto group = [](const std::string& pid) {
    std::string g = fileText("/proc/" + pid + "/autogroup");
    return g.empty() ? std::string("-") : g.substr(0, g.find(' '));
  };
  std::printf("autogroups: clients %s, first floor %s, daemon worker %s\n", group("self").c_str(),
              group(std::to_string(floorPids[0])).c_str(), group(std::to_string(worker)).c_str());

  // Warm all up (page faults, first log lines, thread stacks).
  for (const Target& t : targets) runSequential(t.port, sequentialShare(t, cfg.warmup));
  for (int r = 1; r <= cfg.rounds; ++r) runRound(targets, r, cfg);
  const Target& d = targets.back();

  const pid_t workerAfter = findWorker(readPid(kPidLockFile));
  const long peakKiB = statusKiB(worker, "VmHWM");
  const long rssKiB = statusKiB(worker, "VmRSS");
  // What the system log costs the machine: the receiver's CPU time per
  // datagram (two per request to the +log floors and to the daemon).
  const double receiverSeconds = logReceiver > 0 ? cpuSeconds(logReceiver) : -1;
  int loggedRequests = 0;
  for (const Target& t : targets) {
    if (t.logs) loggedRequests += cfg.warmup + t.sequential.requests + t.concurrent.requests;
  }

  const BestFloor bestSeq = bestFloor(targets, &Target::sequential);
  const BestFloor bestCon = bestFloor(targets, &Target::concurrent);
  auto row = [](const char* phase, const Target& t, const Series& s, const BestFloor& b) {
    const double r = median(s.perSecond), p50 = median(s.p50), p99 = median(s.p99);
    std::printf("%-10s | %-16s | %9.0f | %5.2fx | %8.1f | %5.2fx | %8.1f | %5.2fx | %d/%d\n", phase, t.name.c_str(), r,
                b.perSecond > 0 ? r / b.perSecond : 0, p50, b.p50 > 0 ? p50 / b.p50 : 0, p99,
                b.p99 > 0 ? p99 / b.p99 : 0, s.lost, s.requests);
  };
  std::printf("\nmedians over %d rounds (latency in microseconds; ratios to the best floor: the highest throughput,\n"
              "the lowest p50 and p99 of the four bare floors in the same phase)\n",
              cfg.rounds);
  std::printf("%-10s | %-16s | %9s | %6s | %8s | %6s | %8s | %6s | %s\n", "phase", "server", "req/s", "ratio", "p50",
              "ratio", "p99", "ratio", "lost");
  for (const Target& t : targets) row("sequential", t, t.sequential, bestSeq);
  for (const Target& t : targets) {
    if (t.inConcurrentPhase) row("concurrent", t, t.concurrent, bestCon);
  }
  std::printf("worker peak RSS (VmHWM): %.2f MiB (%.2f MiB after start-up; VmRSS now %.2f MiB)\n", peakKiB / 1024.0,
              startHwm / 1024.0, rssKiB / 1024.0);
  if (receiverSeconds >= 0 && loggedRequests > 0) {
    std::printf("system-log receiver: %.1f s of CPU for about %d datagrams, %.1f us per datagram\n",
                receiverSeconds, 2 * loggedRequests, receiverSeconds * 1e6 / (2.0 * loggedRequests));
  }

  // The two log lines on top of the fastest floor of each phase.
  auto logCost = [&](const char* phase, const BestFloor& b, Series Target::*s) {
    const Target* withLog = findTarget(targets, b.fastest->name + "+log");
    if (withLog == nullptr) return;
    std::printf("%s: best floor %s, %.0f req/s; with the two log lines (%s) %.2fx, p50 %+.1f us\n", phase,
                b.fastest->name.c_str(), b.perSecond, withLog->name.c_str(),
                median((withLog->*s).perSecond) / b.perSecond, addedMicros(b.fastest->*s, withLog->*s));
  };
  std::printf("\n");
  logCost("sequential", bestSeq, &Target::sequential);
  logCost("concurrent", bestCon, &Target::concurrent);
  // The peer check at accept, against the one-thread floor without it.
  const Target& one = *findTarget(targets, "one");
  const double netlinkMicros = addedMicros(one.sequential, findTarget(targets, "one+netlink")->sequential);
  const double procMicros = addedMicros(one.sequential, findTarget(targets, "one+proc")->sequential);
  // What the netlink check's cost, taken out of the daemon's mean round
  // trip (the inverse of its throughput), would give back to its
  // sequential ratio.
  const double daemonMicros = median(d.sequential.perSecond) > 0 ? 1e6 / median(d.sequential.perSecond) : 0;
  const double checkShare = daemonMicros > netlinkMicros ? netlinkMicros / (daemonMicros - netlinkMicros) : 1;
  std::printf("peer check at accept, per connection (p50 over the one-thread floor): netlink %+.1f us,"
              " /proc/net/tcp scan %+.1f us; daemon's mean round trip %.1f us\n",
              netlinkMicros, procMicros, daemonMicros);
  // Where the daemon's typical sequential round trip goes, over the
  // one-thread floor's: each known cost as a floor measured it.
  const double handOverMicros = addedMicros(one.sequential, findTarget(targets, "hand-over")->sequential);
  const double logMicros = addedMicros(one.sequential, findTarget(targets, "one+log")->sequential);
  const double daemonExtra = addedMicros(one.sequential, d.sequential);
  std::printf("sequential p50 of the daemon over the one-thread floor: %+.1f us = hand-over to a kept thread %+.1f"
              " + two log lines %+.1f + peer check %+.1f + the rest %+.1f\n",
              daemonExtra, handOverMicros, logMicros, netlinkMicros,
              daemonExtra - handOverMicros - logMicros - netlinkMicros);
  // The daemon against floors that do what every request must cost.
  for (const char* name : {"one+log+nl", "hand-over+log+nl"}) {
    const Target& t = *findTarget(targets, name);
    const double r = median(t.sequential.perSecond);
    std::printf("sequential, the daemon against %s (the log lines and the peer check every server owes): "
                "%.0f req/s, daemon %.2fx, p50 %+.1f us\n",
                name, r, r > 0 ? median(d.sequential.perSecond) / r : 0, addedMicros(t.sequential, d.sequential));
  }

  std::printf("\ntargets\n");
  bool all = true;
  const double seqRatio = median(d.sequential.perSecond) / std::max(1.0, bestSeq.perSecond);
  all &= check("sequential throughput >= 0.8x best floor", seqRatio >= kMinThroughputRatio, ratioText(seqRatio));
  const double p99Ratio = median(d.sequential.p99) / std::max(1.0, bestSeq.p99);
  all &= check("sequential p99 <= 2x best floor p99", p99Ratio <= kMaxP99Ratio, ratioText(p99Ratio));
  const double conP99Ratio = median(d.concurrent.p99) / std::max(1.0, bestCon.p99);
  all &= check("concurrent p99 <= 2x best floor p99", conP99Ratio <= kMaxP99Ratio, ratioText(conP99Ratio));
  all &= check("64 concurrent clients: no lost reply", d.concurrent.lost == 0,
               "daemon lost " + std::to_string(d.concurrent.lost) + " of " + std::to_string(d.concurrent.requests));
  all &= check("no lost reply in sequential runs", d.sequential.lost == 0,
               "daemon lost " + std::to_string(d.sequential.lost) + " of " + std::to_string(d.sequential.requests));
  char share[64];
  std::snprintf(share, sizeof share, "%.1f %%", 100 * checkShare);
  all &= check("netlink peer check moves the ratio <= 5 %", checkShare <= kMaxPeerCheckShare, share);
  all &= check("worker peak RSS < 16 MiB", peakKiB > 0 && peakKiB / 1024.0 < kMaxWorkerPeakMiB,
               std::to_string(peakKiB) + " KiB");
  all &= check("the same worker served the whole run", workerAfter == worker,
               "pid " + std::to_string(worker) + " then " + std::to_string(workerAfter));
  stopDaemon();
  for (pid_t pid : floorPids) ::kill(pid, SIGKILL);
  if (logReceiver > 0) ::kill(logReceiver, SIGKILL);
  return all ? 0 : 1;
}
