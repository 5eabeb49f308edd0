#include "firewall/firewall.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "base/command_runner.h"
#include "base/io.h"
#include "base/log.h"
#include "base/process.h"
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

// Pause between the steps of a change, as the daemon has always done. The
// command queue is what orders the commands; this only keeps the rhythm.
void stepPause() { ::usleep(10); }

// True when `saved` (iptables-save output) holds a filter table.
bool hasFilterTable(const std::string& saved) {
  return saved.starts_with("*filter\n") || saved.find("\n*filter\n") != std::string::npos;
}

}  // namespace

FireWall::FireWall(std::string dataDir, CommandRunner& runner) : dataDir_(std::move(dataDir)), queue_(runner) {
  struct stat st;
  if (::stat(dataDir_.c_str(), &st) == -1) {
    progressf("Firewall create dir for config: %s\n", dataDir_.c_str());
    ::mkdir(dataDir_.c_str(), 0700);
  }
}

FireWall::~FireWall() = default;

bool FireWall::isValidServerAddress(const std::string& element) { return fwscript::isValidServerAddress(element); }

bool FireWall::isValidInterfaceName(const std::string& name) { return fwscript::isValidInterfaceName(name); }

bool FireWall::setInterfaceToSkip(const std::string& name) {
  MutexLock lock(mu_);
  interfaceToSkip = name;
  if (fwscript::isValidInterfaceName(name)) return true;
  logLine("[Firewall] Refused interface name \"" + printable(name) + "\"\n");
  return false;
}

bool FireWall::firewallOn(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                          bool allowLocalDevices, bool blockDNS) {
  MutexLock lock(mu_);
  progressf("firewallOn: %s\n", printable(interfaceToSkip, 256).c_str());
  return changeLocked(serverAddresses, killSwitch, blockIPv6, allowLocalDevices, blockDNS, true);
}

bool FireWall::firewallChange(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                              bool allowLocalDevices, bool blockDNS) {
  MutexLock lock(mu_);
  return changeLocked(serverAddresses, killSwitch, blockIPv6, allowLocalDevices, blockDNS, true);
}

bool FireWall::firewallOff() {
  MutexLock lock(mu_);
  progressf("firewallOff, is enable: %d\n", getStateOfPF());
  changeLocked("", false, false, false, false, false);
  return true;
}

bool FireWall::reset() {
  MutexLock lock(mu_);
  firewallOffBlockIPv4();
  // Foreground, and after "/fwoff.sh" on the queue: when this returns, both
  // tables are open.
  return firewallOffBlockIPv6();
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

bool FireWall::changeLocked(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                            bool allowLocalDevices, bool blockDNS, bool checkInterface) {
  progressf("firewall change: %s\n", printable(interfaceToSkip, 256).c_str());

  // Request text ends up unquoted in scripts that run as root: refuse the
  // whole request before anything is written, run or recorded.
  if (checkInterface && !fwscript::isValidInterfaceName(interfaceToSkip)) {
    logLine("[Firewall] Refused request: invalid interface name \"" + printable(interfaceToSkip) + "\"\n");
    return false;
  }
  for (const std::string& element : splitServerAddresses(serverAddresses)) {
    if (!fwscript::isValidServerAddress(element)) {
      logLine("[Firewall] Refused request: invalid server address \"" + printable(element) + "\"\n");
      return false;
    }
  }

  if (flags_.killSwitchOn != killSwitch) {
    if (killSwitch) {
      dumpUserIPv4Settings();
      stepPause();
      firewallOnBlockIPv4(serverAddresses);
      // The DROP policies now stop DNS until accept rules are added, so the
      // DNS step below adds them unless DNS is to stay blocked, whatever an
      // earlier session left in the flag.
      flags_.dnsBlocked = true;
      stepPause();
      firewallAllowZeph(true);
      // That added the local-network rules as well; the step below removes
      // them again unless they were asked for.
      flags_.localDevicesAllowed = true;
    } else {
      if (!restoreUserIPv4Setting()) {
        // Without the user's rules the kill switch would stay in force while
        // we say it is off: open the table instead of cutting the machine off.
        logLine("[Firewall] IPv4 rules not restored, opening the IPv4 filter table\n");
        firewallOffBlockIPv4();
      }
      flags_.localDevicesAllowed = false;
      stepPause();
      firewallAllowZeph(false);
    }
    flags_.killSwitchOn = killSwitch;
  }

  if (killSwitch) {
    if (flags_.dnsBlocked != blockDNS) {
      firewallOnBlockDNS(blockDNS);
      stepPause();
      flags_.dnsBlocked = blockDNS;
    }
    if (flags_.localDevicesAllowed != allowLocalDevices) {
      firewallAllowLocalDevices(allowLocalDevices);
      stepPause();
      flags_.localDevicesAllowed = allowLocalDevices;
    }
  }

  if (flags_.ipv6Blocked != blockIPv6) {
    if (blockIPv6) {
      dumpUserIPv6Settings();
      stepPause();
      firewallOnBlockIPv6();
    } else if (!restoreUserIPv6Setting()) {
      logLine("[Firewall] IPv6 rules not restored, opening the IPv6 filter table\n");
      firewallOffBlockIPv6();
    }
    flags_.ipv6Blocked = blockIPv6;
  }
  return true;
}

bool FireWall::firewallOnBlockIPv4(const std::string& serverAddresses) {
  return writeAndStartScript(kKillSwitchScript, killSwitchScript(interfaceToSkip, serverAddresses));
}

bool FireWall::firewallOffBlockIPv4() {
  progressf("firewallOff, is enable: %d\n", getStateOfPF());
  writeAndStartScript(kOpenScript, join(kOpenIPv4Lines));
  return true;
}

bool FireWall::dumpUserIPv4Settings() { return saveRules("iptables-save", dataDir_ + ipv4RulesFile); }

bool FireWall::restoreUserIPv4Setting() {
  return exitedZero(executeRootCommand("iptables-restore < " + dataDir_ + ipv4RulesFile));
}

bool FireWall::dumpUserIPv6Settings() { return saveRules("ip6tables-save", dataDir_ + ipv6RulesFile); }

bool FireWall::restoreUserIPv6Setting() {
  return exitedZero(executeRootCommand("ip6tables-restore < " + dataDir_ + ipv6RulesFile));
}

bool FireWall::firewallOnBlockDNS(bool block) {
  progressf("firewallBlockDNS, is enable: %d\n", block);
  writeAndStartScript(kDnsScript, join(block ? Lines(kDnsBlockLines) : Lines(kDnsAllowLines)));
  return true;
}

bool FireWall::firewallAllowLocalDevices(bool allow) {
  progressf("firewallAllowLocalDevices, is enable: %d\n", allow);
  writeAndStartScript(kLocalDevicesScript,
                      join(allow ? Lines(kLocalDevicesAddLines) : Lines(kLocalDevicesDeleteLines)));
  return true;
}

bool FireWall::firewallAllowZeph(bool allow) {
  firewallAllowLocalDevices(allow);
  writeAndStartScript(kTunnelNetScript, join(allow ? Lines(kTunnelNetAddLines) : Lines(kTunnelNetDeleteLines)));
  return true;
}

bool FireWall::firewallOnBlockIPv6() { return writeAndRestoreIPv6(kIPv6BlockFile, join(kIPv6BlockLines)); }

bool FireWall::firewallOffBlockIPv6() {
  progressf("firewallOffBlockIPv6, is enable: %d\n", getStateOfPF());
  writeAndRestoreIPv6(kIPv6OpenFile, join(kOpenFilterTableLines));
  return true;
}

int FireWall::executeRootCommand(const std::string& command) {
  return runLoggedCommand(kFirewallLog, command, [&] { return queue_.runForeground(command); });
}

bool FireWall::writeAndStartScript(std::string_view name, const std::string& text) {
  std::string path = dataDir_ + std::string(name);
  progressf("Firewall config file: %s\n", path.c_str());
  // 0666: the umask in force decides (the daemon's 027 gives 0640). A script
  // cut short could apply half a rule set: nothing runs then.
  std::string fresh = writeFileBeside(path, text, 0666);
  if (fresh.empty()) return false;
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
  // Nothing else reads this file (it is only used in the foreground, under
  // the lock), so it can take its final name at once.
  if (!replaceFileAtomically(path, text, 0666)) return false;
  progressScript(text);
  executeRootCommand("ip6tables-restore < " + path);
  return true;
}

bool FireWall::saveRules(const char* tool, const std::string& path) {
  int status = executeRootCommand(std::string(tool) + " > " + path);
  if (!exitedZero(status)) {
    // A partial or stale backup must never be restored later.
    ::unlink(path.c_str());
    return false;
  }
  std::string saved;
  if (!readFile(path, &saved) || hasFilterTable(saved)) return true;
  // No filter table was loaded (everything passes). Restoring such a backup
  // would leave the kill switch's table in force, so record the open table.
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | kOpenBaseFlags));
  if (fd && writeFull(fd.get(), join(kOpenFilterTableLines)) && ::close(fd.release()) == 0) return true;
  ::unlink(path.c_str());
  return false;
}
