#include "daemon/monitor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/error_text.h"
#include "base/io.h"
#include "base/log.h"
#include "base/unique_fd.h"
#include "daemon/daemonize.h"
#include "daemon/worker.h"

namespace {

constexpr unsigned kForkRetryPauseMicros = 1000 * 1000;
constexpr unsigned kRestartPauseMicros = 1000 * 1000;

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
        logAt(LOG_WARNING, "Received SIGHUP signal.");
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

