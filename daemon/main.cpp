// tundrafoxd: the entry point.
#include <syslog.h>

#include "base/log.h"
#include "daemon/crash_report.h"
#include "daemon/daemonize.h"
#include "daemon/instances.h"

int main() {
  // A worker that crashes ends with _exit, so the timezone worker's
  // destructor does not run: the crash report puts a changed timezone back.
  setCrashCleanup(restoreTimezoneAfterCrash);

  setlogmask(LOG_UPTO(LOG_INFO));
  openlog(kLogIdent, kLogOptions, kLogFacility);
  logInfo("Daemon starting up");
  daemonize("/", kPidLockFile);
  logInfo("Daemon running");
  daemonShutdown();
  return 0;
}
