#include "daemon/daemonize.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/error_text.h"
#include "base/log.h"
#include "base/safe_syslog.h"
#include "base/unique_fd.h"
#include "daemon/monitor.h"

int pidFilehandle = -1;

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

namespace {

// Logs why the pid lock file cannot be used and ends the process.
[[noreturn]] void refusePidFile(const char* pidfile, const char* reason) {
  logInfof("PID lock file %s: %s", pidfile, reason);
  logInfof("Could not open PID lock file %s, exiting", pidfile);
  std::exit(1);
}

}  // namespace

void daemonize(const char* rundir, const char* pidfile) {
  if (::getppid() == 1) return;

  // Checked before detaching, so that a start that cannot work ends with a
  // status its caller sees. A link, directory or FIFO there is refused,
  // never followed or blocked on (checked again once opened).
  struct stat st;
  if (::lstat(pidfile, &st) == 0 && !S_ISREG(st.st_mode)) refusePidFile(pidfile, "not a regular file");

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
    logInfof("Start Daemon Error: %s\n", errorText(errno));
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

  pidFilehandle = ::open(pidfile, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | kOpenBaseFlags, 0600);
  if (pidFilehandle == -1) refusePidFile(pidfile, errorText(errno));
  if (::fstat(pidFilehandle, &st) != 0 || !S_ISREG(st.st_mode)) refusePidFile(pidfile, "not a regular file");
  if (::lockf(pidFilehandle, F_TLOCK, 0) == -1) {
    logInfof("Could not lock PID lock file %s, exiting", pidfile);
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
  logInfo("[MONITOR] Stopped\n");
}

void daemonShutdown() {
  logInfo("Daemon exiting");
  if (pidFilehandle >= 0) {
    ::close(pidFilehandle);
    pidFilehandle = -1;
  }
}
