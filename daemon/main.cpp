// tundrafoxd: the entry point.
#include <syslog.h>

#include "control/listener.h"
#include "daemon/daemon.h"
#include "firewall/firewall.h"

// ---- Process-wide objects ------------------------------------------------
// Constructed before main, in this order, and destroyed in reverse order at
// normal exit (in every process that exits normally: the starting process,
// the monitor, each worker):
//   1. firewallImpl        (firewall)
//   2. timezoneWorkerImpl  (timezone)
// Define them here, in that order.
FireWall firewallImpl;

// ---- End of process-wide objects -----------------------------------------

// What the worker's listener does before it listens and with each request.
static ListenerOptions workerListenerOptions() {
  ListenerOptions opts;
  // Put the firewall into its all-open state first.
  opts.beforeListening = [] {
    firewallImpl.reset();
    syslog(LOG_INFO, "firewallImpl.reset();");
  };
  // opts.handler: answer a request (until then: nine zero bytes).
  return opts;
}

int main() {
  daemonListenerOptions() = workerListenerOptions();

  setlogmask(LOG_UPTO(LOG_INFO));
  openlog(kLogIdent, kLogOptions, kLogFacility);
  syslog(LOG_INFO, "Daemon starting up");
  daemonize("/", kPidLockFile);
  syslog(LOG_INFO, "Daemon running");
  daemonShutdown();
  return 0;
}
