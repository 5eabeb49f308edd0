// Command 10: installing an update package through a delayed background job.
//
// The daemon writes a shell script, the update job, into its data directory
// and starts it 5 seconds later in the background. The job stops the desktop
// client and the daemon's service, installs the package with dpkg and starts
// the client again on the logged-in user's X display. The daemon neither
// waits for the job nor learns how it ended.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "base/peer_owner.h"
#include "control/update_authorization.h"

class CommandRunner;
class FireWall;

// File name of the job script inside the data directory.
inline constexpr const char kUpdateJobScriptName[] = "/autoupdate-job.sh";

// The verdict on a package path sent by the client.
enum class PackagePathCheck {
  kOk,
  kEmpty,
  kNotAbsolute,
  // Holds '"', '$', '`', '\\' or a newline: the path is spliced between
  // double quotes into the job script, where these would end the quoting,
  // expand, or start a new command.
  kUnsafeCharacter,
  kNotFound,        // nothing exists at the path (or it cannot be examined)
  kNotRegularFile,  // a directory, device, fifo, ... (a symlink is followed)
};

// Decides whether `path` may be handed to the job. Only kOk may be installed.
PackagePathCheck checkPackagePath(const std::string& path);

// A short English text for a verdict, for the log ("not an absolute path").
const char* describePackagePathCheck(PackagePathCheck verdict);

// The job script's full path: `dataDir` + "/autoupdate-job.sh".
std::string updateJobScriptPath(const std::string& dataDir);

// The whole job script, 29 lines, with `packagePath` in the install line,
// which removes that file once dpkg has run.
// It starts the client again only for the user logged in on the X display
// (a display number taken from the socket names in /tmp/.X11-unix), and only
// when `who` names an account of the user database whose uid is not 0: no
// word taken from a file name or from `who` reaches a command unquoted or as
// an option.
// `packagePath` must have passed checkPackagePath.
std::string updateJobScript(const std::string& packagePath);

// The shell command that starts the job in the background after 5 seconds:
// (sleep 5 && sh "<scriptPath>" >/dev/null) &
std::string updateLaunchCommand(const std::string& scriptPath);

// What the job needs from the daemon. Everything referenced must outlive the
// installUpdate call.
struct UpdateJobContext {
  // Switched off before the job starts; the job script is written into its
  // data directory.
  FireWall& firewall;
  // Runs the launch command (through the shell, in a session of its own so
  // that a worker restart does not end the job; it returns at once).
  CommandRunner& runner;
  // Stops the control listener. Returns the descriptor number of the
  // listening socket it shut down, or 0 (or less) when none was listening.
  // Empty: nothing to stop.
  std::function<int()> stopListening;
  // Whether polkit lets a process other than root's install (it may wait for
  // a person for minutes). Empty: only root may install.
  std::function<AuthorizationResult(const PeerProcess&)> authorize;
  // Where the package is copied for the job: a directory of root's alone
  // (ensureOwnDataDir), created when missing.
  std::string cacheDir = "/var/cache/tundrafoxd";
};

// Carries out command 10 for `packagePath` (already converted to 8-bit text),
// sent by `peer`.
//
// The path is checked (checkPackagePath), and the file is opened as the peer
// could open it (openAsUser; a link at the last component and anything but a
// regular file are refused) and copied into ctx.cacheDir: the job installs
// that copy and removes it. For root, the job is then started as below and
// the result says whether it was. For another user, the result is true once
// the copy is made; the process holding the client's socket (found now,
// while it still holds it) is then asked about in the background through
// ctx.authorize, and only when that allows it is the job started as below;
// otherwise "install update refused: not authorized (...)" is logged, the
// copy removed and nothing else changed.
//
// Starting the job: the kill switch is switched off, the firewall refuses
// every later request (FireWall::firewallOffForUpdate), the listener is
// stopped, and the job will stop the daemon in about 5 seconds. It fails,
// with a log line, when the data directory has a dataDirProblem (someone
// other than root could change the job before it runs), the job script
// cannot be written or the kill switch cannot be switched off — in these
// cases before anything was stopped: the kill switch and the control port
// stay as they were and no job runs — or when the shell that launches the job
// cannot be started (the firewall and listener are stopped by then).
// Refusals before that (path, unknown peer or process, copy) are logged too.
bool installUpdate(const std::string& packagePath, const PeerOwner& peer, const UpdateJobContext& ctx);
