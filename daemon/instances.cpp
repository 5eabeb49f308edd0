#include "daemon/instances.h"

#include <syslog.h>
#include <unistd.h>

#include "base/command_runner.h"
#include "base/log.h"
#include "base/state_file.h"
#include "control/access_rule.h"
#include "control/dispatcher.h"
#include "control/listener.h"
#include "control/update_job.h"

// Constructed in this order before main: the firewall (which makes sure its
// data directory exists), then the timezone worker (which looks up the
// default timezone and logs it).
// Their state files under /run record, for the next worker, the rule backups
// not restored yet, a hold for an update and a timezone not put back yet.
FireWall firewallImpl(fwFilesDir, realCommandRunner(), std::string(kRunStateDir) + "/rule-backups-pending",
                      kHeldForUpdateFile);
TimezoneWorker timezoneWorkerImpl(TimezoneFiles{}, realCommandRunner(),
                                  std::string(kRunStateDir) + "/timezone-to-restore");

namespace {

// Command 10: the update job over the daemon's firewall, runner and listener;
// users other than root need polkit's word, which may wait minutes for a
// password but no longer.
bool installUpdateFromDaemon(const std::string& packagePath, const PeerOwner& peer) {
  static const UpdateJobContext ctx{firewallImpl, realCommandRunner(), stopListening, [](const PeerProcess& process) {
    return checkAuthorization(process, kInstallUpdateAction, std::chrono::minutes(5));
  }};
  return installUpdate(packagePath, peer, ctx);
}

}  // namespace

const ListenerOptions& workerListenerOptions() {
  static DaemonServices services{firewallImpl, timezoneWorkerImpl, realCommandRunner(), installUpdateFromDaemon};
  static const ListenerOptions options = [] {
    ListenerOptions opts;
    // Take over what an earlier worker left unfinished: its timezone change,
    // and the user's rules it saved and did not put back.
    opts.beforeListening = [] {
      timezoneWorkerImpl.adoptEarlierChange();
      firewallImpl.reset();
      logInfo("firewallImpl.reset();");
    };
    // Only root, the group tundrafox and the desktop's active user.
    opts.admitPeer = [](const PeerOwner& peer) {
      return decideAccess(peer.uid, systemAccessSources()) != Access::kRefused;
    };
    opts.logRefusal = [](std::string_view line) { logAt(LOG_WARNING, line); };
    opts.handler = [](const MessagePacket& packet, const PeerOwner& peer) {
      return processMessagePacket(packet, services, peer);
    };
    return opts;
  }();
  return options;
}

void restoreTimezoneAfterCrash() {
  // The alarm ends the process should the clean-up hang on a lock the
  // crashed thread held.
  alarm(5);
  timezoneWorkerImpl.restoreAfterCrash();
}

void restoreTimezoneBeforeExit() { timezoneWorkerImpl.restore(); }
