#include "control/update_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

#include "base/command_runner.h"
#include "base/error_text.h"
#include "base/io.h"
#include "base/log.h"
#include "base/process.h"
#include "base/state_file.h"
#include "base/unique_fd.h"
#include "control/access_rule.h"
#include "firewall/firewall.h"

namespace {

// Bytes that keep their meaning inside "..." in sh, plus the newline that
// would end the install line and start a command of the client's choosing.
bool isUnsafeInDoubleQuotes(char c) { return c == '"' || c == '$' || c == '`' || c == '\\' || c == '\n'; }

}  // namespace

PackagePathCheck checkPackagePath(const std::string& path) {
  if (path.empty()) return PackagePathCheck::kEmpty;
  if (path[0] != '/') return PackagePathCheck::kNotAbsolute;
  for (char c : path) {
    if (isUnsafeInDoubleQuotes(c)) return PackagePathCheck::kUnsafeCharacter;
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return PackagePathCheck::kNotFound;
  if (!S_ISREG(st.st_mode)) return PackagePathCheck::kNotRegularFile;
  return PackagePathCheck::kOk;
}

const char* describePackagePathCheck(PackagePathCheck verdict) {
  switch (verdict) {
    case PackagePathCheck::kOk:
      return "ok";
    case PackagePathCheck::kEmpty:
      return "empty path";
    case PackagePathCheck::kNotAbsolute:
      return "not an absolute path";
    case PackagePathCheck::kUnsafeCharacter:
      return "path holds a quote, $, backquote, backslash or newline";
    case PackagePathCheck::kNotFound:
      return "no such file";
    case PackagePathCheck::kNotRegularFile:
      return "not a regular file";
  }
  return "unknown";
}

std::string updateJobScriptPath(const std::string& dataDir) { return dataDir + kUpdateJobScriptName; }

std::string updateJobScript(const std::string& packagePath) {
  std::string s;
  s.reserve(1200 + packagePath.size());
  s += "#!/bin/bash\n";
  s += "#dpkg -r tundra-fox\n";
  s += "## stop and close old instance\n";
  s += "if pid=$(pgrep 'tundra_fox'); then\n";
  s += "  kill -9 $pid\n";
  s += "fi\n";
  s += "sudo systemctl stop tundrafoxd\n";
  s += "for pid in $(ps aux | awk '/tundrafoxd/ {print $2}'); do sudo kill -9 $pid; done\n";
  s += "for pid in $(ps aux | awk '/tundrafoxd/ {print $2}'); do sudo kill -23 $pid; done\n";
  s += "## install new instans\n";
  // Never cut: a cut line would leave the quote open and run the next line
  // into it. The dispatcher's conversion already bounds the path.
  // The package is the daemon's own copy: gone once dpkg has read it.
  s += "dpkg -i \"" + packagePath + "\"; rm -f \"" + packagePath + "\"\n";
  s += "#sudo apt -f -y install\n";
  s += "## run new instanse\n";
  s += "##Detect the name of the display in use\n";
  // Only a number is taken from the socket names: anyone may create a file
  // there, and its name must never reach a command as options.
  s += "display=\":$(ls /tmp/.X11-unix | sed -n 's#^X\\([0-9][0-9]*\\)$#\\1#p' | head -n 1)\"\n";
  s += "if [ \"$display\" = \":\" ]; then\n";
  s += "  display=\":0\"\n";
  s += "fi\n";
  s += "##Detect the user using such display\n";
  s += "user=$(who | grep -F \"($display)\" | awk '{print $1}' | head -n 1)\n";
  s += "export DISPLAY=\"$display\"\n";
  s += "#if value=$(sudo logname); then\n";
  // The name comes from who's output: it is used only when it names an
  // account of the user database other than a root one, never as an option
  // (no leading '-', and after "--"), and always quoted.
  s += "if value=$user && [ \"${value#-}\" = \"$value\" ] && getent passwd -- \"$value\" | "
       "awk -F: -v u=\"$value\" '$1 == u && $3 != 0 {f = 1} END {exit !f}'; then\n";
  s += "  #echo \"Found logged user\"\n";
  s += "  su -l -c 'tundra_fox -style=gtk &' -- \"$value\"\n";
  s += "else\n";
  s += "  #echo \"Could not find logged user. Run from root\"\n";
  // The job runs as root: the client is never started from here.
  s += "  : # the client is not started as root\n";
  s += "fi\n";
  return s;
}

std::string updateLaunchCommand(const std::string& scriptPath) {
  return "(sleep 5 && sh \"" + scriptPath + "\" >/dev/null) &";
}

namespace {

// The rest of command 10 once the request may go ahead: the job for the
// package copy `copy`, as described at installUpdate.
bool startUpdateJob(const std::string& copy, const UpdateJobContext& ctx) {
  // The job is run as root 5 s from now: never from a directory that anyone
  // else could change in the meantime.
  if (const char* why = dataDirProblem(ctx.firewall.dataDir())) {
    logInfo("install update refused: data directory " + ctx.firewall.dataDir() + " " + why);
    return false;
  }
  const std::string scriptPath = updateJobScriptPath(ctx.firewall.dataDir());
  const std::string script = updateJobScript(copy);
  // Written as a whole new file renamed into place, so a link planted at the
  // script's path is replaced rather than followed.
  if (!replaceFileAtomically(scriptPath, script, 0666)) {
    logInfo("install update failed: cannot write " + scriptPath);
    return false;
  }

  // From here on no firewall request may switch the kill switch on again:
  // the job stops the daemon, and nothing would be left to switch it off.
  if (!ctx.firewall.firewallOffForUpdate()) {
    logInfo("install update refused: the kill switch could not be switched off");
    return false;
  }

  // From now on a worker that replaces this one holds too: the job will stop
  // the daemon, and nothing would switch a kill switch off after it.
  if (!ctx.firewall.jobStartingForUpdate()) {
    logInfo("install update failed: the hold for the job could not be recorded");
    return false;
  }

  // Through the listener itself, never by a descriptor number read from a
  // file: a stale number could name any descriptor of this process.
  int closedFd = ctx.stopListening ? ctx.stopListening() : 0;
  if (closedFd > 0) logInfo("close(" + std::to_string(closedFd) + ")");

  progress("Autoupdate sh file: " + scriptPath + "\n");
  progressScript(script);

  const std::string launch = updateLaunchCommand(scriptPath);
  logInfo("install update: " + launch);
  // The shell puts the delayed job in the background and returns at once, so
  // the reply reaches the client before the job stops the daemon. Its own
  // session: a worker restart ends the worker's process group, never the job.
  if (ctx.runner.runShellInOwnSession(launch) == -1) {
    logInfo("install update failed: could not start the shell for " + scriptPath);
    return false;
  }
  return true;
}

// Copies the package at `path` into `cacheDir`, read as `peer` could read it
// (root's own requests follow a link, as a root shell would). Returns the
// copy's path, "" (logged) when it cannot be made.
std::string copyPackage(const std::string& path, const PeerOwner& peer, const std::string& cacheDir) {
  static std::atomic<unsigned> counter{0};
  constexpr size_t kMaxPackageBytes = size_t{512} << 20;
  constexpr int kReadTimeoutMs = 60 * 1000;
  UserCredentials user;
  std::string data, why;
  if (!lookupUserCredentials(peer.uid, &user)) {
    why = "the user is not in the user database";
  } else if (readFileAsUser(user, path, kMaxPackageBytes, kReadTimeoutMs, &data, &why, peer.uid != 0)) {
    if (!ensureOwnDataDir(cacheDir)) {
      why = "no private directory for the copy";
    } else {
      const std::string copy =
          cacheDir + "/update-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".deb";
      UniqueFd out(::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (out && writeFull(out.get(), data) && ::close(out.release()) == 0) return copy;
      why = errorText(errno);
      ::unlink(copy.c_str());
    }
  }
  logInfo("install update refused (cannot copy the package: " + why + "): " + escapeControlBytes(path));
  return {};
}

}  // namespace

bool installUpdate(const std::string& packagePath, const PeerOwner& peer, const UpdateJobContext& ctx) {
  // Everything that can refuse the request is decided before anything is
  // stopped: a refused update leaves the daemon serving as it was.
  PackagePathCheck verdict = checkPackagePath(packagePath);
  if (verdict != PackagePathCheck::kOk) {
    logInfo(std::string("install update refused (") + describePackagePathCheck(verdict) + "): " +
        escapeControlBytes(packagePath));
    return false;
  }
  if (!peer.found) {
    logInfo("install update refused: the requesting user is not known");
    return false;
  }
  // Found now, while the client's connection is still open.
  std::optional<PeerProcess> process;
  if (peer.uid != 0 && !(process = findPeerProcess(peer))) {
    logInfo("install update refused: the requesting process was not found");
    return false;
  }
  // The job installs this copy, never the client's path: what the client
  // changes there after the request is not what gets installed.
  const std::string copy = copyPackage(packagePath, peer, ctx.cacheDir);
  if (copy.empty()) return false;
  if (peer.uid == 0) {
    if (startUpdateJob(copy, ctx)) return true;
    ::unlink(copy.c_str());
    return false;
  }
  // The reply goes out now: the person may take minutes to type a password.
  try {
    std::thread([copy, process = *process, ctx] {
      AuthorizationResult a = ctx.authorize ? ctx.authorize(process)
                                            : AuthorizationResult{AuthorizationVerdict::kUnavailable, "no polkit"};
      if (a.verdict == AuthorizationVerdict::kAllowed && startUpdateJob(copy, ctx)) return;
      if (a.verdict != AuthorizationVerdict::kAllowed) logInfo("install update refused: not authorized (" + a.detail + ")");
      ::unlink(copy.c_str());
    }).detach();
  } catch (const std::system_error&) {
    logInfo("install update refused: no thread to ask for the authorization");
    ::unlink(copy.c_str());
    return false;
  }
  return true;
}
