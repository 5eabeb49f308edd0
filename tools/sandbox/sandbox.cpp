// tundrafox-sandbox: runs one command in throwaway mount, network and PID
// namespaces, so that the real daemon can be started by tests and demos
// without any effect on the machine it runs on.
//
//   tundrafox-sandbox [--stubs DIR] [--real NAME]... [--count-steps] [--syslog-fd N] [--] COMMAND ARGS...
//
// Inside the sandbox:
//   - every mount is private: nothing propagates back to the host;
//   - /proc is the sandbox's own; /run, /tmp and /var/log are empty tmpfs,
//     except for the host entries (e.g. /tmp/checkout) that hold the current
//     directory, COMMAND, the stub directory or this program: those are bound
//     back in, so that a checkout under /tmp works like one anywhere else;
//   - /etc, /usr/share and /var/cache are overlays over the host directories whose
//     writable layer lives in memory (read-only bind as a fallback);
//   - /dev is a small tmpfs with the usual nodes bound from the host, its own
//     devpts and shm, /dev/net/tun (when the host has it: tunnels can be made
//     in the sandbox's network), and /dev/log, a datagram socket served by
//     the sandbox's init: every datagram becomes one line of
//     /var/log/sandbox/syslog;
//   - the network namespace has only `lo`, which is up;
//   - PATH starts with /run/sandbox-stubs, links to the stub directory's
//     recording fakes of timedatectl, openvpn, dpkg, systemctl, su, sudo,
//     who, pgrep, less those named with --real (repeatable), whose real
//     programs are then found further down PATH; SANDBOX_DIR is
//     /var/log/sandbox; SANDBOX_OUTER_NETNS holds the inode of the network
//     namespace the sandbox was started from, so code inside can assert that
//     it is not on the host's network.
//   - with --count-steps, PATH starts with the stub directory's steps/: the
//     stand-ins there for iptables, ip6tables, their -save and -restore, sh
//     and sleep count each call as a step before they run the real program
//     (see steps/pass-through and stub_step in stubs/stub-lib.sh), so that a
//     test can stop the daemon at any command it runs.
//
// Syslog line format: the datagram as the C library sent it, "<PRI>" prefix
// kept (tests check priorities), nothing stripped but a trailing NUL; every
// newline in the message, a trailing one included, is written as the two
// characters "\n", so each datagram stays one line and a message's own
// final newline remains visible.
//
// The init (PID 1 of the new PID namespace) starts COMMAND as its child,
// reaps every orphan, and when COMMAND ends kills whatever is left and exits
// with COMMAND's status (128 + signal number when it was killed).
//
// A datagram starting with a NUL byte is a sync request, not a log line:
// see acknowledgeSync.
//
// --syslog-fd N: append the syslog lines to the already open descriptor N
// instead of the sandbox's own /var/log/sandbox/syslog (used to capture the
// log of a sandbox nested in another one).

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef TUNDRAFOX_STUB_DIR
#define TUNDRAFOX_STUB_DIR ""
#endif

namespace {

constexpr const char* kSandboxDir = "/var/log/sandbox";
constexpr const char* kStage = "/tmp/.sandbox-stage";

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "tundrafox-sandbox: %s: %s\n", what.c_str(), std::strerror(errno));
  std::_Exit(125);
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: tundrafox-sandbox [--stubs DIR] [--real NAME]... [--count-steps] [--syslog-fd N] [--] COMMAND "
               "[ARGS...]\n"
               "Runs COMMAND as root in private mount, network and PID namespaces.\n");
  std::_Exit(125);
}

void mountOrDie(const char* src, const char* target, const char* type, unsigned long flags,
                const char* data) {
  if (::mount(src, target, type, flags, data) != 0)
    die(std::string("mount ") + (type ? type : "(bind)") + " on " + target);
}

void mkdirOrDie(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) die("mkdir " + path);
}

ino_t netnsInode() {
  struct stat st {};
  if (::stat("/proc/self/ns/net", &st) != 0) die("stat /proc/self/ns/net");
  return st.st_ino;
}

// /etc and /usr/share: writes go to an in-memory upper layer. Should overlayfs
// be unavailable, a read-only bind keeps the host's directory untouchable.
void overlayHostDir(const char* dir, const std::string& stageName) {
  std::string upper = std::string(kStage) + "/" + stageName + "-upper";
  std::string work = std::string(kStage) + "/" + stageName + "-work";
  mkdirOrDie(upper, 0755);
  mkdirOrDie(work, 0755);
  std::string opts = std::string("lowerdir=") + dir + ",upperdir=" + upper + ",workdir=" + work;
  if (::mount("overlay", dir, "overlay", 0, opts.c_str()) == 0) return;
  std::fprintf(stderr, "tundrafox-sandbox: overlay on %s failed (%s); using a read-only view\n",
               dir, std::strerror(errno));
  mountOrDie(dir, dir, nullptr, MS_BIND | MS_REC, nullptr);
  mountOrDie(nullptr, dir, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr);
}

// A private /dev, assembled in the stage and moved into place in one step.
void buildDev() {
  std::string dev = std::string(kStage) + "/dev";
  mkdirOrDie(dev, 0755);
  mountOrDie("tmpfs", dev.c_str(), "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m");
  mkdirOrDie(dev + "/net", 0755);
  for (const char* node : {"null", "zero", "full", "random", "urandom", "tty", "net/tun"}) {
    std::string host = std::string("/dev/") + node;
    std::string target = dev + "/" + node;
    struct stat st {};
    if (::stat(host.c_str(), &st) != 0) continue;
    int fd = ::open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) die("create " + target);
    ::close(fd);
    mountOrDie(host.c_str(), target.c_str(), nullptr, MS_BIND, nullptr);
  }
  std::string pts = dev + "/pts";
  mkdirOrDie(pts, 0755);
  if (::mount("devpts", pts.c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
              "newinstance,ptmxmode=0666,mode=0620,gid=5") != 0)
    std::fprintf(stderr, "tundrafox-sandbox: devpts: %s (no pseudo terminals)\n", std::strerror(errno));
  if (::symlink("pts/ptmx", (dev + "/ptmx").c_str()) != 0) die("symlink ptmx");
  std::string shm = dev + "/shm";
  mkdirOrDie(shm, 01777);
  mountOrDie("tmpfs", shm.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777,size=16m");
  const char* links[][2] = {{"/proc/self/fd", "fd"},
                            {"/proc/self/fd/0", "stdin"},
                            {"/proc/self/fd/1", "stdout"},
                            {"/proc/self/fd/2", "stderr"}};
  for (auto& l : links)
    if (::symlink(l[0], (dev + "/" + l[1]).c_str()) != 0) die(std::string("symlink ") + l[1]);
  mountOrDie(dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr);
}

void bringLoopbackUp() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) die("socket for lo");
  struct ifreq ifr {};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  if (::ioctl(s, SIOCGIFFLAGS, &ifr) != 0) die("SIOCGIFFLAGS lo");
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  if (::ioctl(s, SIOCSIFFLAGS, &ifr) != 0) die("SIOCSIFFLAGS lo");
  ::close(s);
}

int bindDevLog() {
  int s = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) die("socket /dev/log");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, "/dev/log");
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) die("bind /dev/log");
  ::chmod("/dev/log", 0666);
  // Bursts of log lines (a crash report, hundreds of connections) must not
  // block the daemon while the init is busy.
  int size = 4 << 20;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
  return s;
}

// A datagram that starts with a NUL byte (which a syslog message never
// does) asks for a sync: its payload is written as the whole content of
// /var/log/sandbox/syslog.sync once every datagram queued before it is in the
// log file. Tests use it to read the log without racing the init.
void acknowledgeSync(const char* token, size_t len) {
  int fd = ::open((std::string(kSandboxDir) + "/syslog.sync").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                  0644);
  if (fd < 0) return;
  [[maybe_unused]] ssize_t w = ::write(fd, token, len);
  ::close(fd);
}

// Moves every queued datagram to the log file, one line each.
void drainLog(int sock, int logFd) {
  static std::vector<char> buf(256 * 1024);
  for (;;) {
    ssize_t n = ::recv(sock, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    size_t len = static_cast<size_t>(n);
    if (buf[0] == '\0') {
      acknowledgeSync(buf.data() + 1, len - 1);
      continue;
    }
    // A NUL terminator (sent by some loggers) is not part of the message.
    while (len > 0 && buf[len - 1] == '\0') --len;
    std::string line;
    line.reserve(len + 8);
    for (size_t i = 0; i < len; ++i) {
      if (buf[i] == '\n')
        line += "\\n";
      else
        line += buf[i];
    }
    line += '\n';
    // One write per line on an O_APPEND descriptor: readers never see half
    // a line from us.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
      ssize_t w = ::write(logFd, p, left);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      p += w;
      left -= static_cast<size_t>(w);
    }
  }
}

// The directories emptied by tmpfs mounts.
constexpr const char* kEmptied[] = {"/tmp", "/run", "/var/log"};

// A host entry directly under one of kEmptied that must stay visible, held
// open (O_PATH) while the tmpfs goes over it, then bound back in.
struct KeptEntry {
  std::string path;
  int fd;
};

// For each of `paths` that lies under an emptied directory, the entry just
// below that directory ("/tmp/co/build/x" keeps "/tmp/co"), opened.
std::vector<KeptEntry> entriesToKeep(const std::vector<std::string>& paths) {
  std::vector<KeptEntry> kept;
  for (const std::string& p : paths) {
    char* real = ::realpath(p.c_str(), nullptr);
    if (real == nullptr) continue;
    std::string path = real;
    std::free(real);
    for (const char* dir : kEmptied) {
      const std::string prefix = std::string(dir) + "/";
      if (path.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string entry = path.substr(0, path.find('/', prefix.size()));
      bool known = false;
      for (const KeptEntry& k : kept) known = known || k.path == entry;
      int fd = known ? -1 : ::open(entry.c_str(), O_PATH | O_CLOEXEC);
      if (fd >= 0) kept.push_back({entry, fd});
    }
  }
  return kept;
}

// Binds each kept entry over an empty file or directory of the new tmpfs.
void bindKeptEntries(const std::vector<KeptEntry>& kept) {
  for (const KeptEntry& k : kept) {
    struct stat st {};
    if (::fstat(k.fd, &st) != 0) die("stat " + k.path);
    if (S_ISDIR(st.st_mode)) {
      mkdirOrDie(k.path, 0755);
    } else {
      int fd = ::open(k.path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      if (fd < 0) die("create " + k.path);
      ::close(fd);
    }
    const std::string source = "/proc/self/fd/" + std::to_string(k.fd);
    mountOrDie(source.c_str(), k.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
    ::close(k.fd);
  }
}

// /run/sandbox-stubs: a link to every entry of `stubDir` but the `real`
// programs, so that PATH finds the real ones there. Returns the directory.
std::string linkStubs(const std::string& stubDir, const std::vector<std::string>& real) {
  const std::string links = "/run/sandbox-stubs";
  mkdirOrDie(links, 0755);
  DIR* d = ::opendir(stubDir.c_str());
  if (d == nullptr) die("open stub directory " + stubDir);
  std::vector<std::string> left = real;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    auto it = std::find(left.begin(), left.end(), name);
    if (it != left.end()) {
      left.erase(it);
      continue;
    }
    if (::symlink((stubDir + "/" + name).c_str(), (links + "/" + name).c_str()) != 0) die("link stub " + name);
  }
  ::closedir(d);
  if (!left.empty()) {
    std::fprintf(stderr, "tundrafox-sandbox: --real %s: %s has no stand-in of that name\n", left[0].c_str(),
                 stubDir.c_str());
    std::_Exit(125);
  }
  return links;
}

int exitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 125;
}

struct Options {
  std::string stubDir = TUNDRAFOX_STUB_DIR;
  std::vector<std::string> real;  // programs left unstubbed
  bool countSteps = false;          // steps/ first on PATH
  int syslogFd = -1;
  std::vector<char*> command;
  std::string self;  // this program, which tests run again nested
};

[[noreturn]] void runInit(const Options& opt, ino_t outerNetns) {
  // Dies with the launcher: when PID 1 of a namespace dies, the kernel kills
  // everything else in it.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);

  mountOrDie(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  mountOrDie("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr);
  std::vector<std::string> needed = {opt.stubDir, opt.self};
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd != nullptr) needed.push_back(cwd);
  if (std::strchr(opt.command[0], '/') != nullptr) needed.push_back(opt.command[0]);
  const std::vector<KeptEntry> kept = entriesToKeep(needed);
  mountOrDie("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777");
  mountOrDie("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
  mountOrDie("tmpfs", "/var/log", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755");
  mkdirOrDie("/run/lock", 01777);
  bindKeptEntries(kept);
  // The old working directory is now under the tmpfs; enter the bound copy.
  if (cwd != nullptr && !kept.empty() && ::chdir(cwd) != 0) die(std::string("chdir ") + cwd);
  std::free(cwd);

  mkdirOrDie(kStage, 0700);
  mountOrDie("tmpfs", kStage, "tmpfs", 0, "mode=0700");
  overlayHostDir("/etc", "etc");
  overlayHostDir("/usr/share", "usr-share");
  overlayHostDir("/var/cache", "var-cache");
  buildDev();
  // The overlays keep their own references to the layers; the stage itself
  // need not stay visible.
  if (::umount2(kStage, MNT_DETACH) != 0) die("umount stage");
  ::rmdir(kStage);

  mkdirOrDie(kSandboxDir, 0755);
  int logFd = opt.syslogFd;
  if (logFd < 0) {
    logFd = ::open((std::string(kSandboxDir) + "/syslog").c_str(),
                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logFd < 0) die("open syslog file");
  } else {
    ::fcntl(logFd, F_SETFD, FD_CLOEXEC);
  }
  int stubsLog = ::open((std::string(kSandboxDir) + "/stubs.log").c_str(),
                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (stubsLog >= 0) ::close(stubsLog);
  int logSock = bindDevLog();
  bringLoopbackUp();

  std::string path = opt.stubDir.empty() ? std::string() : linkStubs(opt.stubDir, opt.real);
  const char* oldPath = std::getenv("PATH");
  std::string rest = oldPath && *oldPath ? oldPath : "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
  path = path.empty() ? rest : path + ":" + rest;
  if (opt.countSteps && !opt.stubDir.empty()) path = opt.stubDir + "/steps:" + path;
  ::setenv("PATH", path.c_str(), 1);
  ::setenv("SANDBOX_DIR", kSandboxDir, 1);
  ::setenv("SANDBOX_OUTER_NETNS", std::to_string(outerNetns).c_str(), 1);

  sigset_t mask, old;
  sigemptyset(&mask);
  sigaddset(&mask, SIGCHLD);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigaddset(&mask, SIGHUP);
  ::sigprocmask(SIG_BLOCK, &mask, &old);
  int sigFd = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  if (sigFd < 0) die("signalfd");

  pid_t cmd = ::fork();
  if (cmd < 0) die("fork command");
  if (cmd == 0) {
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    ::execvp(opt.command[0], opt.command.data());
    std::fprintf(stderr,
                 "tundrafox-sandbox: cannot run %s: %s (note: /tmp, /run, /var/log are empty "
                 "inside the sandbox but for the entries that hold the current directory and "
                 "the command)\n",
                 opt.command[0], std::strerror(errno));
    std::_Exit(127);
  }

  int result = 125;
  bool running = true;
  while (running) {
    pollfd fds[2] = {{logSock, POLLIN, 0}, {sigFd, POLLIN, 0}};
    int r = ::poll(fds, 2, -1);
    if (r < 0 && errno != EINTR) die("poll");
    if (fds[0].revents & POLLIN) drainLog(logSock, logFd);
    if (fds[1].revents & POLLIN) {
      signalfd_siginfo si;
      while (::read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGTERM || si.ssi_signo == SIGINT || si.ssi_signo == SIGHUP)
          ::kill(cmd, static_cast<int>(si.ssi_signo));
      }
      // Reap the command and every orphan that was handed to us.
      for (;;) {
        int status = 0;
        pid_t p = ::waitpid(-1, &status, WNOHANG);
        if (p <= 0) break;
        if (p == cmd) {
          result = exitCodeOf(status);
          running = false;
        }
      }
    }
  }
  // Lines sent before the command ended are still queued: keep them.
  drainLog(logSock, logFd);
  ::kill(-1, SIGKILL);
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  std::_Exit(result);
}

pid_t g_init = -1;

void forwardKill(int) {
  if (g_init > 0) ::kill(g_init, SIGKILL);
  std::_Exit(128 + SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int i = 1;
  for (; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      ++i;
      break;
    }
    if (a == "--stubs" && i + 1 < argc) {
      opt.stubDir = argv[++i];
    } else if (a == "--real" && i + 1 < argc) {
      opt.real.push_back(argv[++i]);
    } else if (a == "--count-steps") {
      opt.countSteps = true;
    } else if (a == "--syslog-fd" && i + 1 < argc) {
      char* end = nullptr;
      long fd = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || fd < 0 || fcntl(static_cast<int>(fd), F_GETFD) < 0) {
        std::fprintf(stderr, "tundrafox-sandbox: --syslog-fd: %s is not an open descriptor\n", argv[i]);
        return 125;
      }
      opt.syslogFd = static_cast<int>(fd);
    } else if (a == "-h" || a == "--help") {
      usage();
    } else if (!a.empty() && a[0] == '-') {
      usage();
    } else {
      break;
    }
  }
  if (i >= argc) usage();
  for (; i < argc; ++i) opt.command.push_back(argv[i]);
  opt.command.push_back(nullptr);
  std::error_code ec;
  opt.self = std::filesystem::read_symlink("/proc/self/exe", ec).string();

  if (::geteuid() != 0) {
    std::fprintf(stderr,
                 "tundrafox-sandbox: must run as root (it creates mount, network and PID "
                 "namespaces); try sudo\n");
    return 125;
  }

  ino_t outer = netnsInode();
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID) != 0) die("unshare");
  // Everything below runs iptables and the daemon: refuse to go on if, for
  // whatever reason, this is still the network the sandbox was started in.
  if (netnsInode() == outer) {
    std::fprintf(stderr, "tundrafox-sandbox: network namespace did not change, refusing to run\n");
    return 125;
  }

  pid_t init = ::fork();
  if (init < 0) die("fork init");
  if (init == 0) runInit(opt, outer);

  g_init = init;
  struct sigaction sa {};
  sa.sa_handler = forwardKill;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);

  int status = 0;
  for (;;) {
    pid_t p = ::waitpid(init, &status, 0);
    if (p == init) break;
    if (p < 0 && errno != EINTR) die("waitpid init");
  }
  return exitCodeOf(status);
}
