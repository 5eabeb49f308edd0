// The kill switch: IPv4 rule scripts, the IPv6 block, the user's rule backups
// and the state that records what is applied.
#pragma once

#include <string>

#include "base/thread_annotations.h"
#include "firewall/command_queue.h"
#include "firewall/rule_scripts.h"

class CommandRunner;

// The firewall data directory of the daemon.
inline constexpr const char fwFilesDir[] = "/usr/share/tundra_fox";

// One FireWall drives the kernel's filter tables through a CommandRunner,
// writing its scripts and backups into its data directory.
//
// Every public operation holds one lock, and every command it issues,
// background rule script or foreground save/restore, runs in issue order on
// one command queue, never overlapping another. Rule scripts are "started in
// the background": the operation returns without waiting for them (use
// waitIdle to wait). Files are created with mode 0666 less the umask.
//
// Nothing is read back from the kernel: the flags record what was applied.
class FireWall {
 public:
  // The applied-state flags, cleared together at construction.
  struct Flags {
    bool killSwitchOn = false;         // the IPv4 kill switch is applied
    bool ipv6Blocked = false;          // the IPv6 block is applied
    bool localDevicesAllowed = false;  // the 192.168.0.0/16 rules are in force
    bool dnsBlocked = false;           // no DNS accept rules are in force
  };

  // `runner` must outlive the object. Creates `dataDir` (mode 0700 less the
  // umask) when it does not exist, printing
  // "Firewall create dir for config: <dir>".
  FireWall(std::string dataDir, CommandRunner& runner);
  // Changes nothing in the firewall. Pending commands are dropped; one that
  // is running is given a few seconds to finish (the thread is not joined).
  ~FireWall();
  FireWall(const FireWall&) = delete;
  FireWall& operator=(const FireWall&) = delete;

  // Always true.
  bool isSupported() const { return true; }
  bool enableOnStart() const { return true; }
  bool getStateOfPF() const { return true; }

  // The checks applied to request text before it can reach a script; see
  // fwscript::isValidServerAddress / isValidInterfaceName.
  static bool isValidServerAddress(const std::string& element);
  static bool isValidInterfaceName(const std::string& name);

  // Stores the tunnel interface name for the next firewallOn/firewallChange.
  // Returns false (and logs the refusal) when `name` is not a valid
  // interface name; the name is stored all the same so that the request it
  // belongs to is refused as a whole by firewallOn/firewallChange.
  bool setInterfaceToSkip(const std::string& name) EXCLUDES(mu_);

  // Applies the requested options (see the class comment for ordering).
  // Returns false when the request was refused as a whole because an element
  // of `serverAddresses` or the stored interface name is invalid: nothing was
  // written or run and no flag changed. True otherwise.
  bool firewallChange(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                      bool allowLocalDevices, bool blockDNS) EXCLUDES(mu_);
  // Prints "firewallOn: <interface>" and does what firewallChange does.
  bool firewallOn(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                  bool allowLocalDevices, bool blockDNS) EXCLUDES(mu_);
  // Kill switch and IPv6 block off: the user's saved rules come back, or,
  // when a restore fails, that family's filter table is opened. Always true.
  bool firewallOff() EXCLUDES(mu_);
  // Opens the IPv4 and IPv6 filter tables (the user's rules are discarded);
  // the flags are unchanged. Returns when both are applied. Always true.
  bool reset() EXCLUDES(mu_);

  // Returns when every command issued so far has finished.
  void waitIdle();

  // Snapshots taken under the lock.
  Flags flags() const EXCLUDES(mu_);
  bool killSwitchOn() const { return flags().killSwitchOn; }
  bool ipv6Blocked() const { return flags().ipv6Blocked; }
  bool localDevicesAllowed() const { return flags().localDevicesAllowed; }
  bool dnsBlocked() const { return flags().dnsBlocked; }
  std::string interfaceToSkipName() const EXCLUDES(mu_);
  const std::string& dataDir() const { return dataDir_; }

 private:
  friend struct FireWallTestPeer;

  // Unlocked core of firewallChange. `checkInterface` is false for
  // firewallOff, which never uses the interface name.
  bool changeLocked(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                    bool allowLocalDevices, bool blockDNS, bool checkInterface) REQUIRES(mu_);

  // The steps. Rule scripts are queued and not waited for; the save and
  // restore methods and the IPv6 tables run in the foreground. Each returns
  // whether its file could be written and its command queued or succeeded,
  // as noted.

  // "/fw.sh": true when the script was written and queued.
  bool firewallOnBlockIPv4(const std::string& serverAddresses) REQUIRES(mu_);
  // "/fwoff.sh": always true.
  bool firewallOffBlockIPv4() REQUIRES(mu_);
  // "iptables-save > <backup>": true when the save succeeded. A failed save
  // leaves no backup behind; a backup without a filter table gets an open
  // one, so that restoring it really lifts the kill switch.
  bool dumpUserIPv4Settings() REQUIRES(mu_);
  // "iptables-restore < <backup>": true when the restore succeeded.
  bool restoreUserIPv4Setting() REQUIRES(mu_);
  bool dumpUserIPv6Settings() REQUIRES(mu_);
  bool restoreUserIPv6Setting() REQUIRES(mu_);
  // "/fw_dns.sh": the delete text for true, the add text for false. Always true.
  bool firewallOnBlockDNS(bool block) REQUIRES(mu_);
  // "/fw_local_devs.sh": add for true, delete for false. Always true.
  bool firewallAllowLocalDevices(bool allow) REQUIRES(mu_);
  // firewallAllowLocalDevices(allow), then "/fw_zeph.sh". Always true.
  bool firewallAllowZeph(bool allow) REQUIRES(mu_);
  // "/fw_v6.sh" through ip6tables-restore: false when the file could not be
  // written.
  bool firewallOnBlockIPv6() REQUIRES(mu_);
  // "/fwoff_v6.sh" through ip6tables-restore: always true.
  bool firewallOffBlockIPv6() REQUIRES(mu_);

  // Prints and logs "[Firewall] Execute cmd: <command>", runs it after every
  // command issued before, and returns its wait status (-1: not run).
  int executeRootCommand(const std::string& command) REQUIRES(mu_);
  // The shared rule-script steps: prints the path, writes `text` to a fresh
  // file, echoes it between banners, logs "sh <path> >/dev/null &" and queues
  // the run. False when the file could not be written (nothing else happens).
  bool writeAndStartScript(std::string_view name, const std::string& text) REQUIRES(mu_);
  // Same up to the echo, then "ip6tables-restore < <path>" in the foreground.
  // False when the file could not be written.
  bool writeAndRestoreIPv6(std::string_view name, const std::string& text) REQUIRES(mu_);
  // Runs a save command; removes the backup when the save fails and adds an
  // open filter table when the saved text has none.
  bool saveRules(const char* tool, const std::string& path) REQUIRES(mu_);

  std::string dataDir_;
  CommandQueue queue_;
  mutable Mutex mu_;

  // Configuration and state, in the order the daemon has always kept them.
  std::string interfaceToSkip GUARDED_BY(mu_);
  const std::string ipv4RulesFile{fwscript::kIPv4RulesFile};
  const std::string ipv6RulesFile{fwscript::kIPv6RulesFile};
  Flags flags_ GUARDED_BY(mu_);
};
