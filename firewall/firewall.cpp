#include "firewall/firewall.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "base/command_runner.h"
#include "base/error_text.h"
#include "base/io.h"
#include "base/log.h"
#include "base/process.h"
#include "base/state_file.h"
#include "base/unique_fd.h"
#include "firewall/rule_scripts.h"

using namespace fwscript;

namespace {

const CommandLog kFirewallLog{"[Firewall]", true, "\n"};

// A line for the system log as well as standard output.
void logLine(const std::string& line) {
  progress(line);
  logInfo(line);
}

// Logs that `path` could not be written, with the reason (errno text).
void logNotWritten(const std::string& path, int err) {
  logLine("[Firewall] Could not write " + path + ": " + errorText(err) + "\n");
}

// Pause between the steps of a change, as the daemon has always done. The
// command queue is what orders the commands; this only keeps the rhythm.
void stepPause() { ::usleep(10); }

// True when `saved` (iptables-save output) holds a filter table.
bool hasFilterTable(const std::string& saved) {
  return saved.starts_with("*filter\n") || saved.find("\n*filter\n") != std::string::npos;
}

// Seconds since boot, the same clock in every process.
long bootSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<long>(now.tv_sec);
}

}  // namespace

FireWall::FireWall(std::string dataDir, CommandRunner& runner, std::string stateFile, std::string heldFile)
    : dataDir_(std::move(dataDir)), stateFile_(std::move(stateFile)), heldFile_(std::move(heldFile)), queue_(runner) {
  struct stat st;
  if (::lstat(dataDir_.c_str(), &st) == -1) progressf("Firewall create dir for config: %s\n", dataDir_.c_str());
  // Its scripts are run and its backups read back as root: a directory that
  // anyone else could change is moved aside for a fresh one.
  ensureOwnDataDir(dataDir_);
}

FireWall::~FireWall() = default;

bool FireWall::isValidServerAddress(const std::string& element) { return fwscript::isValidServerAddress(element); }

bool FireWall::isValidInterfaceName(const std::string& name) { return fwscript::isValidInterfaceName(name); }

bool FireWall::setInterfaceToSkip(const std::string& name) {
  MutexLock lock(mu_);
  return setInterfaceLocked(name);
}

bool FireWall::setInterfaceLocked(const std::string& name) {
  interfaceToSkip = name;
  if (fwscript::isValidInterfaceName(name)) return true;
  logLine("[Firewall] Refused interface name \"" + printable(name) + "\"\n");
  return false;
}

bool FireWall::firewallOn(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                          bool allowLocalDevices, bool blockDNS) {
  MutexLock lock(mu_);
  progressf("firewallOn: %s\n", printable(interfaceToSkip, 256).c_str());
  return changeLocked(serverAddresses, killSwitch, blockIPv6, allowLocalDevices, blockDNS, true) ==
         FirewallOutcome::kDone;
}

bool FireWall::firewallChange(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                              bool allowLocalDevices, bool blockDNS) {
  MutexLock lock(mu_);
  return changeLocked(serverAddresses, killSwitch, blockIPv6, allowLocalDevices, blockDNS, true) ==
         FirewallOutcome::kDone;
}

FirewallOutcome FireWall::applyRequest(bool on, const std::string& interfaceName, const std::string& serverAddresses,
                                       bool killSwitch, bool blockIPv6, bool allowLocalDevices, bool blockDNS) {
  MutexLock lock(mu_);
  if (!setInterfaceLocked(interfaceName)) return FirewallOutcome::kInvalidInterface;
  if (on) progressf("firewallOn: %s\n", printable(interfaceToSkip, 256).c_str());
  return changeLocked(serverAddresses, killSwitch, blockIPv6, allowLocalDevices, blockDNS, true);
}

bool FireWall::firewallOff() {
  MutexLock lock(mu_);
  progressf("firewallOff, is enable: %d\n", getStateOfPF());
  return changeLocked("", false, false, false, false, false) == FirewallOutcome::kDone;
}

bool FireWall::firewallOffForUpdate() {
  MutexLock lock(mu_);
  progressf("firewallOff, is enable: %d\n", getStateOfPF());
  if (heldLocked()) return true;  // an update is under way already
  // Recorded first: a worker that restarts during the update's delay must
  // not switch the kill switch on again either.
  if (!heldFile_.empty() && !saveStateFile(heldFile_, "update\n")) {
    logNotWritten(heldFile_, errno);
    return false;
  }
  if (changeLocked("", false, false, false, false, false) != FirewallOutcome::kDone) {
    if (!heldFile_.empty()) removeStateFile(heldFile_);
    return false;
  }
  heldForUpdate_ = true;
  logLine("[Firewall] Switched off for the update: firewall requests are refused from now on\n");
  return true;
}

bool FireWall::jobStartingForUpdate() {
  MutexLock lock(mu_);
  if (heldFile_.empty() || saveStateFile(heldFile_, "job " + std::to_string(bootSeconds()) + "\n")) return true;
  logNotWritten(heldFile_, errno);
  return false;
}

bool FireWall::heldLocked() const {
  if (heldForUpdate_ && heldUntil_ != 0 && bootSeconds() >= heldUntil_) {
    // Taken over from an earlier worker, whose job would have stopped the
    // daemon long ago: there is none.
    return false;
  }
  return heldForUpdate_;
}

bool FireWall::reset() {
  MutexLock lock(mu_);
  // Only what an earlier worker applied and did not take back is undone. A
  // pending backup holds the user's rules from before its block went on:
  // restoring it removes the block, however much of it was applied, as a
  // switch-off would. Without one, the tables are the user's own and stay
  // exactly as they are.
  std::string pending;
  if (!stateFile_.empty() && loadStateFile(stateFile_, &pending)) {
    ipv4BackupPending_ = pending.find(std::string(ipv4RulesFile.substr(1)) + "\n") != std::string::npos;
    ipv6BackupPending_ = pending.find(std::string(ipv6RulesFile.substr(1)) + "\n") != std::string::npos;
  }
  std::string held;
  if (!heldFile_.empty() && loadStateFile(heldFile_, &held)) {
    long since = 0;
    if (std::sscanf(held.c_str(), "job %ld", &since) == 1 && bootSeconds() - since < kJobHoldSeconds) {
      heldForUpdate_ = true;
      heldUntil_ = since + kJobHoldSeconds;
    } else {
      removeStateFile(heldFile_);  // no job was started, or it is long gone
    }
  }
  bool done = true;
  if (ipv4BackupPending_) done = switchOffIPv4Locked();
  if (ipv6BackupPending_) done = unblockIPv6Locked() && done;
  // An opened table is a queued script: in force before the first request.
  queue_.waitIdle();
  return done;
}

void FireWall::waitIdle() { queue_.waitIdle(); }

FireWall::Flags FireWall::flags() const {
  MutexLock lock(mu_);
  return flags_;
}

std::string FireWall::interfaceToSkipName() const {
  MutexLock lock(mu_);
  return interfaceToSkip;
}

FirewallOutcome FireWall::changeLocked(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                                       bool allowLocalDevices, bool blockDNS, bool checkInterface) {
  progressf("firewall change: %s\n", printable(interfaceToSkip, 256).c_str());

  if (heldLocked()) {
    logLine("[Firewall] Refused request: the firewall was switched off for an update\n");
    return FirewallOutcome::kHeldForUpdate;
  }
  // Request text ends up unquoted in scripts that run as root: refuse the
  // whole request before anything is written, run or recorded.
  if (checkInterface && !fwscript::isValidInterfaceName(interfaceToSkip)) {
    logLine("[Firewall] Refused request: invalid interface name \"" + printable(interfaceToSkip) + "\"\n");
    return FirewallOutcome::kInvalidInterface;
  }
  size_t hostNames = 0;
  for (const std::string& element : splitServerAddresses(serverAddresses)) {
    if (!fwscript::isValidServerAddress(element)) {
      logLine("[Firewall] Refused request: invalid server address \"" + printable(element) + "\"\n");
      return FirewallOutcome::kInvalidAddress;
    }
    if (!element.empty() && !isNumericServerAddress(element)) ++hostNames;
  }
  // Each host name can hold the kill-switch script for many seconds.
  if (hostNames > kMaxHostNames) {
    logLine("[Firewall] Refused request: " + std::to_string(hostNames) + " server addresses are host names, at most " +
            std::to_string(kMaxHostNames) + " may be\n");
    return FirewallOutcome::kInvalidAddress;
  }
  cutEarlierScriptsLocked();

  bool written = true;
  if (killSwitch && !flags_.killSwitchOn) {
    written = switchOnIPv4Locked(serverAddresses);
    // Without its backup or its script nothing was applied: the request ends
    // here, the flags as they were.
    if (!flags_.killSwitchOn) return FirewallOutcome::kNotWritten;
  } else if (!killSwitch && (flags_.killSwitchOn || ipv4BackupPending_)) {
    written = switchOffIPv4Locked();
  }

  if (killSwitch) {
    if (flags_.dnsBlocked != blockDNS) {
      if (firewallOnBlockDNS(blockDNS)) {
        stepPause();
        flags_.dnsBlocked = blockDNS;
      } else {
        written = false;
      }
    }
    if (flags_.localDevicesAllowed != allowLocalDevices) {
      if (firewallAllowLocalDevices(allowLocalDevices)) {
        stepPause();
        flags_.localDevicesAllowed = allowLocalDevices;
      } else {
        written = false;
      }
    }
  }

  if (blockIPv6 && !flags_.ipv6Blocked) {
    written = blockIPv6Locked() && written;
  } else if (!blockIPv6 && (flags_.ipv6Blocked || ipv6BackupPending_)) {
    written = unblockIPv6Locked() && written;
  }
  return written ? FirewallOutcome::kDone : FirewallOutcome::kNotWritten;
}

void FireWall::cutEarlierScriptsLocked() {
  // A request never waits behind an earlier one's rule script (a host name
  // lookup can take long): that script is ended, and with it the certainty
  // of what it applied.
  const std::vector<std::string> cut = queue_.cutScripts();
  if (cut.empty()) return;
  std::string names;
  for (const std::string& path : cut) names += " " + path;
  logLine("[Firewall] Ended unfinished rule scripts:" + names + "\n");
  if (ipv4BackupPending_) {
    // Part of the kill switch, or of an option, may be in force: back to the
    // user's rules, as at a switch-off (nothing of ours is left to delete),
    // so this request applies its own state from a known one.
    flags_.killSwitchOn = false;
    switchOffIPv4Locked();
  } else if (std::find(cut.begin(), cut.end(), dataDir_ + std::string(kOpenScript)) != cut.end()) {
    firewallOffBlockIPv4();  // an opening cut short: open again
  }
}

bool FireWall::saveAndBlockLocked(bool ipv6, const std::string& serverAddresses) {
  bool& pending = ipv6 ? ipv6BackupPending_ : ipv4BackupPending_;
  // A pending backup still holds the user's rules (an earlier worker went
  // away with the block on): saving now would record ours instead.
  const bool saved = !pending;
  if (saved) {
    if (!(ipv6 ? dumpUserIPv6Settings() : dumpUserIPv4Settings())) return false;
    pending = true;
    // Unrecorded, the backup would be unknown to the next worker, whose
    // switch-on would overwrite it with our rules: apply nothing then.
    if (!saveBackupState()) {
      pending = false;
      return false;
    }
  }
  stepPause();
  if (!(ipv6 ? firewallOnBlockIPv6() : firewallOnBlockIPv4(serverAddresses))) {
    if (saved) {  // nothing changed: the user's rules are still in force
      pending = false;
      saveBackupState();
    }
    return false;
  }
  return true;
}

bool FireWall::switchOnIPv4Locked(const std::string& serverAddresses) {
  if (!saveAndBlockLocked(false, serverAddresses)) return false;
  // The DROP policies now stop DNS until accept rules are added, so the DNS
  // step adds them unless DNS is to stay blocked, whatever an earlier
  // session left in the flag.
  flags_.dnsBlocked = true;
  flags_.killSwitchOn = true;
  stepPause();
  // That adds the local-network rules as well; the DNS and local-network
  // step removes them again unless they were asked for.
  bool localDevices = false;
  bool written = firewallAllowZeph(true, &localDevices);
  flags_.localDevicesAllowed = localDevices;
  return written;
}

bool FireWall::restoreOrOpenLocked(bool ipv6) {
  const Restore restored = ipv6 ? restoreUserIPv6Setting() : restoreUserIPv4Setting();
  // Not run (the worker is stopping): the block may still be in force and
  // the backup is the only copy of the user's rules. It stays recorded, so
  // the next start restores it; clearing it here would leave the kill switch
  // on with nothing that knows of it.
  if (restored == Restore::kNotRun) return false;
  if (restored == Restore::kFailed) {
    // Without the user's rules the kill switch would stay in force while we
    // say it is off: open the table instead of cutting the machine off.
    logLine(ipv6 ? "[Firewall] IPv6 rules not restored, opening the IPv6 filter table\n"
                 : "[Firewall] IPv4 rules not restored, opening the IPv4 filter table\n");
    if (!(ipv6 ? firewallOffBlockIPv6() : firewallOffBlockIPv4())) return false;  // still in force
  }
  (ipv6 ? ipv6BackupPending_ : ipv4BackupPending_) = false;
  saveBackupState();
  return true;
}

bool FireWall::switchOffIPv4Locked() {
  if (!restoreOrOpenLocked(false)) return false;  // still in force, as the flag says
  const bool wasOn = flags_.killSwitchOn;
  flags_.killSwitchOn = false;
  flags_.localDevicesAllowed = false;
  // After an earlier worker's kill switch, only the restore was needed: the
  // worker's start had removed every rule of ours.
  if (!wasOn) return true;
  stepPause();
  return firewallAllowZeph(false);
}

bool FireWall::blockIPv6Locked() {
  if (!saveAndBlockLocked(true, "")) return false;
  flags_.ipv6Blocked = true;
  return true;
}

bool FireWall::unblockIPv6Locked() {
  if (!restoreOrOpenLocked(true)) return false;
  flags_.ipv6Blocked = false;
  return true;
}

bool FireWall::saveBackupState() {
  if (stateFile_.empty()) return true;
  std::string text;
  if (ipv4BackupPending_) text += std::string(ipv4RulesFile.substr(1)) + "\n";
  if (ipv6BackupPending_) text += std::string(ipv6RulesFile.substr(1)) + "\n";
  // Removing needs no space: a full /run never keeps a restored backup
  // recorded as pending.
  if (text.empty() ? removeStateFile(stateFile_) : saveStateFile(stateFile_, text)) return true;
  logNotWritten(stateFile_, errno);
  return false;
}

bool FireWall::firewallOnBlockIPv4(const std::string& serverAddresses) {
  return writeAndStartScript(kKillSwitchScript, killSwitchScript(interfaceToSkip, serverAddresses));
}

bool FireWall::firewallOffBlockIPv4() {
  progressf("firewallOff, is enable: %d\n", getStateOfPF());
  return writeAndStartScript(kOpenScript, join(kOpenIPv4Lines));
}

bool FireWall::dumpUserIPv4Settings() { return saveRules("iptables-save", dataDir_ + ipv4RulesFile); }

FireWall::Restore FireWall::restoreUserIPv4Setting() { return restoreRules("iptables-restore", dataDir_ + ipv4RulesFile); }

bool FireWall::dumpUserIPv6Settings() { return saveRules("ip6tables-save", dataDir_ + ipv6RulesFile); }

FireWall::Restore FireWall::restoreUserIPv6Setting() { return restoreRules("ip6tables-restore", dataDir_ + ipv6RulesFile); }

bool FireWall::firewallOnBlockDNS(bool block) {
  progressf("firewallBlockDNS, is enable: %d\n", block);
  return writeAndStartScript(kDnsScript, join(block ? Lines(kDnsBlockLines) : Lines(kDnsAllowLines)));
}

bool FireWall::firewallAllowLocalDevices(bool allow) {
  progressf("firewallAllowLocalDevices, is enable: %d\n", allow);
  return writeAndStartScript(kLocalDevicesScript,
                             join(allow ? Lines(kLocalDevicesAddLines) : Lines(kLocalDevicesDeleteLines)));
}

bool FireWall::firewallAllowZeph(bool allow, bool* localDevices) {
  bool local = firewallAllowLocalDevices(allow);
  if (localDevices != nullptr) *localDevices = local;
  bool tunnel =
      writeAndStartScript(kTunnelNetScript, join(allow ? Lines(kTunnelNetAddLines) : Lines(kTunnelNetDeleteLines)));
  return local && tunnel;
}

bool FireWall::firewallOnBlockIPv6() { return writeAndRestoreIPv6(kIPv6BlockFile, join(kIPv6BlockLines)); }

bool FireWall::firewallOffBlockIPv6() {
  progressf("firewallOffBlockIPv6, is enable: %d\n", getStateOfPF());
  return writeAndRestoreIPv6(kIPv6OpenFile, join(kOpenFilterTableLines));
}

int FireWall::executeRootCommand(const std::string& shown, const std::function<int(CommandRunner&)>& command) {
  return runLoggedCommand(kFirewallLog, shown, [&] { return queue_.runForeground(command); });
}

bool FireWall::writeAndStartScript(std::string_view name, const std::string& text) {
  std::string path = dataDir_ + std::string(name);
  progressf("Firewall config file: %s\n", path.c_str());
  // 0666: the umask in force decides (the daemon's 027 gives 0640). A script
  // cut short could apply half a rule set: nothing runs then.
  std::string fresh = writeFileBeside(path, text, 0666);
  if (fresh.empty()) {
    logNotWritten(path, errno);
    return false;
  }
  progressScript(text);
  // The logged line is the classic background start; the queue runs the
  // same script with "sh <path> >/dev/null" in its turn.
  std::string command = "sh " + path + " >/dev/null &";
  // A script that could not be queued is reported like a command that
  // could not run.
  runLoggedCommand(kFirewallLog, command, [&] {
    if (!queue_.enqueueScript(fresh, path)) throw std::runtime_error("not queued");
    return 0;
  });
  return true;
}

bool FireWall::writeAndRestoreIPv6(std::string_view name, const std::string& text) {
  std::string path = dataDir_ + std::string(name);
  progressf("Firewall config file: %s\n", path.c_str());
  // The tool reads the descriptor opened here, never the path, so what it
  // applies is exactly this text.
  std::string fresh = writeFileBeside(path, text, 0666);
  const char* why = nullptr;
  UniqueFd in = fresh.empty() ? UniqueFd() : openRegularFile(fresh, &why);
  if (!in || ::rename(fresh.c_str(), path.c_str()) != 0) {
    logNotWritten(path, errno);
    if (!fresh.empty()) ::unlink(fresh.c_str());
    return false;
  }
  progressScript(text);
  executeRootCommand("ip6tables-restore < " + path,
                     [&](CommandRunner& runner) { return runner.runWithFiles({"ip6tables-restore"}, in.get(), -1); });
  return true;
}

bool FireWall::saveRules(const char* tool, const std::string& path) {
  // The tool writes into memory, and the backup is then written as a new
  // file renamed into place: no shell opens the path, so a link there is
  // replaced and a FIFO never waited on, and a failure has a reason.
  UniqueFd out(::memfd_create(path.c_str(), MFD_CLOEXEC));
  if (!out) {
    logNotWritten(path, errno);
    return false;
  }
  int status = executeRootCommand(std::string(tool) + " > " + path,
                                  [&](CommandRunner& runner) { return runner.runWithFiles({tool}, -1, out.get()); });
  std::string saved;
  if (!exitedZero(status) || !readFromStart(out.get(), &saved)) {
    logLine("[Firewall] " + std::string(tool) + " failed: " + path + " not written\n");
    // A stale backup must never be restored later.
    ::unlink(path.c_str());
    return false;
  }
  // No filter table was loaded (everything passes). Restoring such a backup
  // would leave the kill switch's table in force, so record the open table.
  if (!hasFilterTable(saved)) saved += join(kOpenFilterTableLines);
  if (!replaceFileAtomically(path, saved, 0666)) {
    logNotWritten(path, errno);
    ::unlink(path.c_str());
    return false;
  }
  return true;
}

FireWall::Restore FireWall::restoreRules(const char* tool, const std::string& path) {
  const char* why = nullptr;
  UniqueFd in = openRegularFile(path, &why);
  if (!in) {
    logLine("[Firewall] Not restoring " + path + ": " + why + "\n");
    return Restore::kFailed;
  }
  const int status = executeRootCommand(std::string(tool) + " < " + path, [&](CommandRunner& runner) {
    return runner.runWithFiles({tool}, in.get(), -1);
  });
  if (exitedZero(status)) return Restore::kDone;
  // A restore tool commits its table at the end: killed, it changed nothing.
  return status == -1 || WIFSIGNALED(status) ? Restore::kNotRun : Restore::kFailed;
}
