#include "daemon/monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/error_text.h"
#include "base/io.h"
#include "base/log.h"
#include "base/process.h"
#include "base/state_file.h"
#include "base/unique_fd.h"
#include "control/listener.h"
#include "daemon/daemonize.h"
#include "daemon/instances.h"
#include "daemon/worker.h"

namespace {

constexpr unsigned kForkRetryPauseMicros = 1000 * 1000;
constexpr unsigned kRestartPauseMicros = 1000 * 1000;
// How long a dead worker's programs get to end. SIGKILL ends them at once
// unless one is stuck in the kernel.
constexpr std::chrono::seconds kGroupEndWait{5};

// Ends what is left of a dead worker's process group (rule scripts and
// firewall commands it started) and waits, bounded, until none of it runs:
// a dead worker's script must never change the tables after the next
// worker's reset. The worker's zombie is not reaped yet, so the group's
// number cannot pass to another process meanwhile.
void endWorkerGroup(pid_t worker) {
  if (!endProcessGroup(worker, kGroupEndWait)) WriteLog("[MONITOR] Programs of the ended worker are still running\n");
}

// The monitor's stop on SIGQUIT, SIGINT, SIGTERM or SIGUSR1.
int stopOnSignal(int sig, pid_t worker) {
  char line[256];
  std::snprintf(line, sizeof line, "[MONITOR] Signal %s\n", signalText(sig));
  WriteLog(line);
  if (worker > 0) ::kill(worker, SIGTERM);
  WriteLog("[MONITOR] Stopped\n");
  ::unlink(kPidLockFile);
  return 0;
}

// Opens the control socket that every worker inherits, retrying about once
// a second while it cannot be bound (another process holds the port). The
// failure is logged when it first happens and whenever its reason changes.
// Returns 0 once `*sock` listens, or the stop signal that came meanwhile.
int openControlSocketRetrying(UniqueFd* sock, const sigset_t& waitSet) {
  const ListenerOptions& opts = workerListenerOptions();
  std::string logged;
  for (;;) {
    std::string failure;
    *sock = openControlSocket(opts.address, opts.port, &failure);
    if (*sock) {
      if (!logged.empty()) logInfo("bind done");
      return 0;
    }
    if (failure != logged) {
      logInfo(failure);
      logged = failure;
    }
    const struct timespec pause = {1, 0};
    siginfo_t info;
    const int sig = sigtimedwait(&waitSet, &info, &pause);
    if (sig == SIGHUP) logAt(LOG_WARNING, "Received SIGHUP signal.");
    if (sig > 0 && sig != SIGHUP && sig != SIGCHLD) return sig;
  }
}

}  // namespace

void SetPidFile(const char* filename) {
  UniqueFd fd(::open(filename, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | kOpenBaseFlags, 0666));
  if (!fd) return;
  char text[16];
  int len = std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(::getpid()));
  if (len > 0) writeFull(fd.get(), text, static_cast<size_t>(len));
}

int MonitorProc() {
  sigset_t waitSet;
  sigemptyset(&waitSet);
  for (int sig : {SIGQUIT, SIGINT, SIGTERM, SIGCHLD, SIGUSR1, SIGHUP}) sigaddset(&waitSet, sig);
  sigprocmask(SIG_BLOCK, &waitSet, nullptr);

  SetPidFile(kMonitorPidFile);
  // A hold for an update belongs to the daemon the update stopped; this is
  // a new start (after the update, or after it failed).
  removeStateFile(kHeldForUpdateFile);

  // Bound once, here, and inherited by every worker: the port is never free
  // while the daemon runs, not even while a worker is being replaced. No
  // worker listens yet: a number left by an earlier run no longer holds.
  setSocketIdToFile(workerListenerOptions().socketIdPath, 0);
  UniqueFd controlSocket;
  if (int sig = openControlSocketRetrying(&controlSocket, waitSet); sig != 0) return stopOnSignal(sig, -1);
  setWorkerControlSocket(controlSocket.get());

  const pid_t monitor = ::getpid();
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
    if (worker == 0) {
      attachWorkerToMonitor(monitor);
      const int status = WorkProc();
      // Not exit(): its connection threads may still be inside the
      // process-wide objects, whose destructors must not run under them.
      // WorkProc has done what those destructors would (its programs ended,
      // the timezone put back).
      std::fflush(nullptr);
      ::_exit(status);
    }
    // Also here, so the group exists before the monitor could need it.
    ::setpgid(worker, worker);

    for (;;) {
      siginfo_t info;
      int sig = sigwaitinfo(&waitSet, &info);
      if (sig < 0) continue;  // interrupted
      if (sig == SIGHUP) {
        logAt(LOG_WARNING, "Received SIGHUP signal.");
        continue;
      }
      if (sig != SIGCHLD) return stopOnSignal(sig, worker);
      // SIGCHLD also reports a worker that was stopped or continued; only
      // an ended worker is acted on. Left unreaped until its group is gone.
      siginfo_t ended;
      std::memset(&ended, 0, sizeof ended);
      if (::waitid(P_PID, static_cast<id_t>(worker), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          ended.si_pid != worker) {
        continue;
      }
      endWorkerGroup(worker);
      int status = 0;
      if (::waitpid(worker, &status, 0) != worker) status = 0;
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
