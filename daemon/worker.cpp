#include "daemon/worker.h"

#include <signal.h>
#include <sys/prctl.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <chrono>

#include "base/log.h"
#include "base/process.h"
#include "control/listener.h"
#include "daemon/crash_report.h"
#include "daemon/instances.h"

pthread_t serverThr;

namespace {

// Whether serverThr holds a started thread; read by the crash handler.
std::atomic<bool> gServerThrStarted{false};

int gControlSocket = -1;

// How long the programs this worker started get to end when it stops.
constexpr std::chrono::seconds kGroupEndWait{5};

// Ends every program this worker started in its own process group (rule
// scripts, firewall commands), so that none of them changes the tables after
// the next worker has started; openvpn and the update job run in sessions of
// their own and live on. Other threads may start nothing from here on; the
// main thread still runs what it waits for on the way out (the timezone
// restore).
void endOwnProgramsBeforeExit() {
  stopOtherThreadsSpawning();
  if (::getpgrp() != ::getpid()) return;  // not a group of its own: nothing to tell apart
  if (!endProcessGroup(::getpid(), kGroupEndWait)) WriteLog("[WORK PROC] Programs it started are still running\n");
}

}  // namespace

void setWorkerControlSocket(int fd) { gControlSocket = fd; }

void attachWorkerToMonitor(pid_t monitor) {
  ::setpgid(0, 0);
  // SIGTERM is blocked (inherited from the monitor), so it waits for
  // WorkProc's sigwait. A monitor that died before the prctl is seen in
  // getppid: the worker then stops at once the same way.
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != monitor) ::kill(::getpid(), SIGTERM);
}

int InitWorkThread() {
  // The options live as long as the process, as the detached thread may.
  static const ListenerOptions options = [] {
    ListenerOptions opts = workerListenerOptions();
    opts.listeningSocket = gControlSocket;
    return opts;
  }();
  int rc = pthread_create(&serverThr, nullptr, listenThread, const_cast<ListenerOptions*>(&options));
  if (rc == 0) gServerThrStarted.store(true);
  return rc;
}

void DestroyWorkThread() {
  // listenThread detached itself; the process ends right after this, so
  // there is nothing to join or cancel.
  gServerThrStarted.store(false);
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
        logAt(LOG_WARNING, "Received SIGHUP signal.");
        continue;
      }
      break;
    }
    DestroyWorkThread();
  } else {
    // Ends as a crashed worker does, so the monitor starts another one after
    // its pause: status 2 would stop the whole daemon, kill switch and all.
    WriteLog("[WORK PROC] Create work thread failed\n");
    return 1;
  }
  endOwnProgramsBeforeExit();
  WriteLog("[WORK PROC] Stopped\n");
  // Here, not in the destructor at exit: the worker ends without running
  // the process-wide destructors (see the monitor), since its connection
  // threads may still be inside those objects.
  restoreTimezoneBeforeExit();
  return 2;
}

