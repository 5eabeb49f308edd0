// tundrafoxd: the entry point.
#include <syslog.h>
#include <unistd.h>

#include "control/dispatcher.h"
#include "control/listener.h"
#include "control/update_job.h"
#include "daemon/command_runner.h"
#include "daemon/daemon.h"
#include "firewall/firewall.h"
#include "timezone/timezone_worker.h"

// ---- Process-wide objects ------------------------------------------------
// Constructed before main, in this order, and destroyed in reverse order at
// normal exit (in every process that exits normally: the starting process,
// the monitor, each worker):
//   1. firewallImpl        (firewall)
//   2. timezoneWorkerImpl  (timezone)
// Define them here, in that order.
FireWall firewallImpl;
TimezoneWorker timezoneWorkerImpl;

// ---- End of process-wide objects -----------------------------------------

// Command 10: the update job over the daemon's firewall, runner and listener.
static bool installUpdateFromDaemon(const std::string& packagePath) {
  UpdateJobContext ctx(firewallImpl, realCommandRunner(), stopListening);
  return installUpdate(packagePath, ctx);
}

// What requests act on.
static DaemonServices daemonServices{firewallImpl, timezoneWorkerImpl, realCommandRunner(), installUpdateFromDaemon};

// A worker that crashes ends with _exit, so the timezone worker's destructor
// does not run: put a changed timezone back here. The alarm ends the process
// should the clean-up hang on a lock the crashed thread held.
static void restoreTimezoneAfterCrash() {
  alarm(5);
  timezoneWorkerImpl.restoreAfterCrash();
}

// What the worker's listener does before it listens and with each request.
static ListenerOptions workerListenerOptions() {
  ListenerOptions opts;
  // Put the firewall into its all-open state first.
  opts.beforeListening = [] {
    firewallImpl.reset();
    syslog(LOG_INFO, "firewallImpl.reset();");
  };
  opts.handler = [](const MessagePacket& packet) { return processMessagePacket(packet, daemonServices); };
  return opts;
}

int main() {
  daemonListenerOptions() = workerListenerOptions();
  setCrashCleanup(restoreTimezoneAfterCrash);

  setlogmask(LOG_UPTO(LOG_INFO));
  openlog(kLogIdent, kLogOptions, kLogFacility);
  syslog(LOG_INFO, "Daemon starting up");
  daemonize("/", kPidLockFile);
  syslog(LOG_INFO, "Daemon running");
  daemonShutdown();
  return 0;
}
