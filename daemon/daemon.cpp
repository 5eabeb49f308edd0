#include "daemon/daemon.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/listener.h"
#include "daemon/io.h"
#include "daemon/log.h"
#include "daemon/safe_syslog.h"
#include "daemon/unique_fd.h"

int pidFilehandle = -1;
pthread_t serverThr;

namespace {

// Whether serverThr holds a started thread; read by the crash handler.
std::atomic<bool> gServerThrStarted{false};
std::atomic<void (*)()> gCrashCleanup{nullptr};
// The thread that is writing the crash report (0: none yet).
std::atomic<pid_t> gCrashingThread{0};
// backtrace_symbols_fd writes into [1], the crash handler reads [0] back, so
// each symbol line can go to the system log without malloc.
int gBacktracePipe[2] = {-1, -1};

constexpr unsigned kForkRetryPauseMicros = 1000 * 1000;
constexpr unsigned kRestartPauseMicros = 1000 * 1000;

// Thread-safe texts (strerror and strsignal may share a buffer).
const char* errorText(int err) {
  const char* s = strerrordesc_np(err);
  return s != nullptr ? s : "Unknown error";
}
const char* signalText(int sig) {
  const char* s = sigdescr_np(sig);
  return s != nullptr ? s : "Unknown signal";
}

// Fixed-buffer text building for the crash handler.
struct LineBuf {
  char text[512];
  size_t len = 0;
  void add(const char* s) {
    while (*s != '\0' && len + 1 < sizeof text) text[len++] = *s++;
    text[len] = '\0';
  }
  void addHex16(uint64_t v) {
    static const char kDigits[] = "0123456789ABCDEF";
    char digits[17];
    for (int i = 15; i >= 0; --i) {
      digits[i] = kDigits[v & 0xF];
      v >>= 4;
    }
    digits[16] = '\0';
    add(digits);
  }
};

// Everything the crash handler needs that must not be set up inside it:
// loading the unwinder (backtrace's first call may allocate) and the pipe.
void prepareCrashReport() {
  safeSyslogInit(kLogIdent);
  void* warmUp[1];
  backtrace(warmUp, 1);
  if (gBacktracePipe[0] < 0) {
    if (::pipe2(gBacktracePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
      gBacktracePipe[0] = gBacktracePipe[1] = -1;
    }
  }
}

// Reads back what backtrace_symbols_fd wrote and logs it line by line.
void logBacktraceLines() {
  static char line[1024];
  size_t len = 0;
  char chunk[512];
  for (;;) {
    ssize_t n = ::read(gBacktracePipe[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (len + 2 < sizeof line) line[len++] = chunk[i];
      if (chunk[i] == '\n') {
        line[len] = '\0';
        safeSyslog(LOG_INFO, line);
        len = 0;
      }
    }
  }
  if (len > 0) {
    line[len++] = '\n';
    line[len] = '\0';
    safeSyslog(LOG_INFO, line);
  }
}

void* programCounter(void* ptr) {
  if (ptr == nullptr) return nullptr;
  auto* uc = static_cast<ucontext_t*>(ptr);
#if defined(__x86_64__)
  return reinterpret_cast<void*>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
  return reinterpret_cast<void*>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return nullptr;
#endif
}

void logSighup() { syslog(LOG_WARNING, "Received SIGHUP signal."); }

}  // namespace

void signal_handler(int sig) {
  switch (sig) {
    case SIGINT:
      safeSyslog(LOG_WARNING, "Received SIGINT signal.");
      break;
    case SIGTERM:
      safeSyslog(LOG_WARNING, "Received SIGTERM signal.");
      break;
    case SIGHUP:
      safeSyslog(LOG_WARNING, "Received SIGHUP signal.");
      break;
    default:
      break;
  }
}

void signal_error(int sig, siginfo_t* info, void* ptr) {
  const pid_t self = gettid();
  pid_t expected = 0;
  if (!gCrashingThread.compare_exchange_strong(expected, self)) {
    // A fault inside the report itself: stop at once.
    if (expected == self) _exit(1);
    // Another thread is already reporting and will end the process.
    for (;;) pause();
  }

  // Only a fault detected by the kernel carries an address; for a signal
  // sent by a process the same bytes hold the sender's pid and uid.
  uint64_t addr = 0;
  if (info != nullptr && info->si_code > 0) addr = reinterpret_cast<uintptr_t>(info->si_addr);
  LineBuf head;
  head.add("[DAEMON] Signal: ");
  head.add(signalText(sig));
  head.add(", Addr: 0x");
  head.addHex16(addr);
  head.add("\n");
  safeSyslog(LOG_INFO, head.text);

  void* trace[16];
  int n = backtrace(trace, 16);
  // Entry 1 is the signal-delivery frame: show the faulting instruction.
  void* pc = programCounter(ptr);
  if (n > 1 && pc != nullptr) trace[1] = pc;
  if (n > 1 && gBacktracePipe[1] >= 0) {
    // Entry 0 is this handler: left out.
    backtrace_symbols_fd(trace + 1, n - 1, gBacktracePipe[1]);
    safeSyslog(LOG_INFO, "== Backtrace ==");
    logBacktraceLines();
    safeSyslog(LOG_INFO, "== End Backtrace ==\n");
  }
  safeSyslog(LOG_INFO, "[DAEMON] Stopped\n");

  DestroyWorkThread();
  if (void (*cleanup)() = gCrashCleanup.load()) cleanup();
  _exit(1);
}

void setCrashCleanup(void (*cleanup)()) { gCrashCleanup.store(cleanup); }

void SetPidFile(const char* filename) {
  UniqueFd fd(::open(filename, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | kOpenBaseFlags, 0666));
  if (!fd) return;
  char text[16];
  int len = std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(::getpid()));
  if (len > 0) writeFull(fd.get(), text, static_cast<size_t>(len));
}

int InitWorkThread() {
  int rc = pthread_create(&serverThr, nullptr, listenThread, nullptr);
  if (rc == 0) gServerThrStarted.store(true);
  return rc;
}

void DestroyWorkThread() {
  // listenThread detached itself; the process ends right after this, so
  // there is nothing to join or cancel.
  gServerThrStarted.store(false);
}

void installCrashHandlers() {
  prepareCrashReport();
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = signal_error;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO;
  for (int sig : {SIGFPE, SIGILL, SIGSEGV, SIGBUS}) sigaction(sig, &sa, nullptr);
}

int WorkProc() {
  installCrashHandlers();

  // Blocked before any thread exists, so every thread inherits the mask and
  // these signals are taken only by the sigwait below. SIGHUP is taken here
  // too, so its line is logged outside any handler.
  sigset_t waitSet;
  sigemptyset(&waitSet);
  for (int sig : {SIGQUIT, SIGINT, SIGTERM, SIGHUP}) sigaddset(&waitSet, sig);
  pthread_sigmask(SIG_BLOCK, &waitSet, nullptr);

  WriteLog("[WORK PROC] Started\n");
  if (InitWorkThread() == 0) {
    for (;;) {
      int sig = 0;
      if (sigwait(&waitSet, &sig) != 0) continue;
      if (sig == SIGHUP) {
        logSighup();
        continue;
      }
      break;
    }
    DestroyWorkThread();
  } else {
    WriteLog("[WORK PROC] Create work thread failed\n");
  }
  WriteLog("[WORK PROC] Stopped\n");
  return 2;
}

int MonitorProc() {
  sigset_t waitSet;
  sigemptyset(&waitSet);
  for (int sig : {SIGQUIT, SIGINT, SIGTERM, SIGCHLD, SIGUSR1, SIGHUP}) sigaddset(&waitSet, sig);
  sigprocmask(SIG_BLOCK, &waitSet, nullptr);

  SetPidFile(kMonitorPidFile);

  char line[256];
  for (;;) {
    pid_t worker = ::fork();
    if (worker < 0) {
      std::snprintf(line, sizeof line, "[MONITOR] Fork failed (%s)\n", errorText(errno));
      WriteLog(line);
      // Fork fails for lack of processes or memory; give the system a
      // moment instead of flooding the log.
      ::usleep(kForkRetryPauseMicros);
      continue;
    }
    if (worker == 0) std::exit(WorkProc());

    for (;;) {
      siginfo_t info;
      int sig = sigwaitinfo(&waitSet, &info);
      if (sig < 0) continue;  // interrupted
      if (sig == SIGHUP) {
        logSighup();
        continue;
      }
      if (sig != SIGCHLD) {
        std::snprintf(line, sizeof line, "[MONITOR] Signal %s\n", signalText(sig));
        WriteLog(line);
        ::kill(worker, SIGTERM);
        WriteLog("[MONITOR] Stopped\n");
        ::unlink(kPidLockFile);
        return 0;
      }
      int status = 0;
      // SIGCHLD also reports a worker that was stopped or continued; only
      // an ended worker is reaped and acted on.
      if (::waitpid(worker, &status, WNOHANG) != worker) continue;
      const int code = (status >> 8) & 0xFF;  // 0 for a worker killed by a signal
      if (code == 2) {
        WriteLog("[MONITOR] Childer stopped\n");
        WriteLog("[MONITOR] Stopped\n");
        ::unlink(kPidLockFile);
        return 2;
      }
      if (code == 1) {
        WriteLog("[MONITOR] Childer restart\n");
        ::usleep(kRestartPauseMicros);
      }
      break;  // start a new worker
    }
  }
}

void daemonize(const char* rundir, const char* pidfile) {
  if (::getppid() == 1) return;

  safeSyslogInit(kLogIdent);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int sig : {SIGCHLD, SIGTSTP, SIGTTOU, SIGTTIN}) sigaddset(&blocked, sig);
  sigprocmask(SIG_BLOCK, &blocked, nullptr);

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = signal_handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  for (int sig : {SIGHUP, SIGTERM, SIGINT}) sigaction(sig, &sa, nullptr);

  pid_t pid = ::fork();
  if (pid < 0) {
    syslog(LOG_INFO, "Start Daemon Error: %s\n", errorText(errno));
    std::exit(1);
  }
  if (pid > 0) std::exit(0);

  ::umask(027);
  if (::setsid() < 0) std::exit(1);

  // The system log's sockets are closed with everything else; let the log
  // forget them first, or it would later send to (and close) whatever file
  // reuses their numbers, such as the pid lock file.
  syslogLineClose();
  closelog();
  if (::close_range(0, ~0U, 0) != 0) {
    for (int fd = getdtablesize(); fd >= 0; --fd) ::close(fd);
  }
  // Standard input, output and error: meant to be inherited, so not
  // close-on-exec.
  int devnull = ::open("/dev/null", O_RDWR);
  if (devnull >= 0) {
    [[maybe_unused]] int out = ::dup(devnull);
    [[maybe_unused]] int err = ::dup(devnull);
    // Nobody reads standard output now: flushing it would only make the
    // connection threads wait on stdio's lock.
    setStdoutFlushes(false);
  }
  // Standard error is /dev/null from here on: copying every line there
  // (LOG_PERROR) would show nothing and only cost each log call a formatted
  // write to it, which is most of the daemon's per-request overhead.
  openlog(kLogIdent, kLogOptions & ~LOG_PERROR, kLogFacility);
  // The lines sent for every request go out without syslog(3)'s lock.
  syslogLineOpen();

  if (::chdir(rundir) != 0) {
    // Ignored: the daemon uses absolute paths only.
  }

  pidFilehandle = ::open(pidfile, O_RDWR | O_CREAT | kOpenBaseFlags, 0600);
  if (pidFilehandle == -1) {
    syslog(LOG_INFO, "Could not open PID lock file %s, exiting", pidfile);
    std::exit(1);
  }
  if (::lockf(pidFilehandle, F_TLOCK, 0) == -1) {
    syslog(LOG_INFO, "Could not lock PID lock file %s, exiting", pidfile);
    std::exit(1);
  }
  // Truncated only now that the file is ours: a longer old pid must not
  // leave its tail behind the new one.
  if (::ftruncate(pidFilehandle, 0) != 0) {
    // Ignored: the write below still puts the pid at the start.
  }
  char str[16];
  int len = std::snprintf(str, sizeof str, "%d\n", ::getpid());
  if (len > 0 && ::pwrite(pidFilehandle, str, static_cast<size_t>(len), 0) != len) {
    // Ignored, as the pid file is only informative.
  }

  MonitorProc();
  syslog(LOG_INFO, "[MONITOR] Stopped\n");
}

void daemonShutdown() {
  syslog(LOG_INFO, "Daemon exiting");
  if (pidFilehandle >= 0) {
    ::close(pidFilehandle);
    pidFilehandle = -1;
  }
}
