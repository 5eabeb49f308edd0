// The kill switch: IPv4 rule scripts, the IPv6 block, the user's rule backups
// and the state that records what is applied.
#pragma once

#include <functional>
#include <string>

#include "base/thread_annotations.h"
#include "firewall/command_queue.h"
#include "firewall/rule_scripts.h"

class CommandRunner;

// The firewall data directory of the daemon.
inline constexpr const char fwFilesDir[] = "/usr/share/tundra_fox";

// What became of a firewall request.
enum class FirewallOutcome {
  kDone,
  kInvalidInterface,  // refused as a whole: the interface name is not valid
  kInvalidAddress,    // refused as a whole: a server address is not valid
  kHeldForUpdate,     // refused: an update switched the firewall off for good
  kNotWritten,        // a rule script or backup could not be written (logged
                      // with the file and the reason); the flags say what is
                      // in force
};

// One FireWall drives the kernel's filter tables through a CommandRunner,
// writing its scripts and backups into its data directory.
//
// Every public operation holds one lock, and every command it issues,
// background rule script or foreground save/restore, runs in issue order on
// one command queue, never overlapping another; a later request ends the
// rule scripts still running or queued (see firewallChange). Rule scripts are "started in
// the background": the operation returns without waiting for them (use
// waitIdle to wait). Files are created with mode 0666 less the umask, always
// as new files renamed into place: a link or FIFO planted at a file's path is
// replaced, never written through or waited on, and a backup that is not a
// regular file is never read.
//
// Nothing is read back from the kernel: the flags record what was applied.
// A backup of the user's rules that has not been restored yet is never
// overwritten; which backups are pending is kept in `stateFile` (when given),
// so that it survives the worker process (see reset).
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
  // "Firewall create dir for config: <dir>"; one that someone else could
  // change is moved aside for a fresh one (ensureOwnDataDir). `stateFile`
  // empty: the pending backups are known to this object only. `heldFile`
  // empty: a hold for an update is known to this object only (see
  // firewallOffForUpdate).
  FireWall(std::string dataDir, CommandRunner& runner, std::string stateFile = {}, std::string heldFile = {});
  // Pending commands are dropped, a rule script that runs is ended with what
  // it started (the pending record still names its backup), and a
  // foreground command that runs is given a few seconds to finish (the
  // thread is not joined).
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
  // Returns true when the outcome is kDone. Refused requests (an invalid
  // server address or stored interface name, more than kMaxHostNames host
  // names, or an update under way) write, run and change nothing. Any other
  // request first ends the rule scripts of earlier requests that are still
  // running or queued, instead of waiting for them; when one of the kill
  // switch's was cut short, the user's rules are restored first (as at a
  // switch-off), and the request then applies its whole state. A switch-on whose backup, its record in the
  // state file or its kill-switch script cannot be written applies nothing
  // either.
  bool firewallChange(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                      bool allowLocalDevices, bool blockDNS) EXCLUDES(mu_);
  // Prints "firewallOn: <interface>" and does what firewallChange does.
  bool firewallOn(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                  bool allowLocalDevices, bool blockDNS) EXCLUDES(mu_);
  // One whole request: setInterfaceToSkip(interfaceName), then firewallOn
  // (`on`) or firewallChange, under one hold of the lock, so that concurrent
  // requests never mix one's interface with another's servers.
  FirewallOutcome applyRequest(bool on, const std::string& interfaceName, const std::string& serverAddresses,
                               bool killSwitch, bool blockIPv6, bool allowLocalDevices, bool blockDNS) EXCLUDES(mu_);
  // Kill switch and IPv6 block off: the user's saved rules come back (also a
  // backup left pending by an earlier worker), or, when a restore fails,
  // that family's filter table is opened. False when refused (an update is
  // under way) or a file could not be written.
  bool firewallOff() EXCLUDES(mu_);
  // firewallOff for an update: when it succeeds, every later firewall
  // request is refused (kHeldForUpdate), so nothing switches the kill switch
  // on again before the update stops the daemon. The hold is recorded in
  // `heldFile` first, and a later worker (see reset) takes it over once the
  // job is about to start (jobStartingForUpdate), until the file is removed
  // (the daemon's monitor does at its start). False (and nothing is held or
  // switched off) when the hold cannot be recorded; false (and nothing held)
  // when the kill switch could not be switched off.
  bool firewallOffForUpdate() EXCLUDES(mu_);
  // Records in `heldFile` that the update job is being started now. Only
  // such a record holds a later worker, and only for kJobHoldSeconds after
  // it: a worker that died before its job started left no job to stop the
  // daemon, and one whose job has not stopped the daemon by then has none
  // either. False (logged) when it cannot be recorded.
  bool jobStartingForUpdate() EXCLUDES(mu_);
  static constexpr int kJobHoldSeconds = 60;
  // At the start of a worker: restores each backup that the state file
  // records as pending (an earlier worker ended with its block on, or while
  // switching it on or off), so the user's rules are back and the block is
  // gone; a family whose backup cannot be restored gets its filter table
  // opened, as at a switch-off. A family with no pending backup is left
  // exactly as it is: the user's own rules are never touched. The flags stay
  // all off. A hold for an update whose job was starting is taken over (see
  // jobStartingForUpdate); any other record of a hold is removed.
  // Returns when that is applied: false when a restore failed and the open
  // table could not be written either.
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
  bool setInterfaceLocked(const std::string& name) REQUIRES(mu_);
  // Unlocked core of firewallChange. `checkInterface` is false for
  // firewallOff, which never uses the interface name.
  FirewallOutcome changeLocked(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                               bool allowLocalDevices, bool blockDNS, bool checkInterface) REQUIRES(mu_);
  // The IPv4 and IPv6 halves of changeLocked; false when a file could not
  // be written.
  // Saves one family's user rules unless a backup of them is pending
  // already, then applies its block ("/fw.sh" with `serverAddresses`, or the
  // IPv6 block file). A backup made just now is dropped again when the block
  // could not be applied. False when the save or the block failed.
  bool saveAndBlockLocked(bool ipv6, const std::string& serverAddresses) REQUIRES(mu_);
  // Ends the rule scripts of earlier requests that have not finished, and
  // brings the IPv4 table back to a state the flags describe: the user's
  // rules when a backup is pending (kill switch off), or open again when an
  // opening was cut.
  void cutEarlierScriptsLocked() REQUIRES(mu_);
  bool switchOnIPv4Locked(const std::string& serverAddresses) REQUIRES(mu_);
  bool switchOffIPv4Locked() REQUIRES(mu_);
  bool blockIPv6Locked() REQUIRES(mu_);
  bool unblockIPv6Locked() REQUIRES(mu_);
  // Records which backups are pending in the state file; false (logged with
  // the reason) when it could not be written.
  bool saveBackupState() REQUIRES(mu_);

  // The steps. Rule scripts are queued and not waited for; the save and
  // restore methods and the IPv6 tables run in the foreground. Each returns
  // whether its file could be written (a failure is logged with the file and
  // the reason) and its command queued or succeeded, as noted.

  // "/fw.sh": true when the script was written and queued.
  bool firewallOnBlockIPv4(const std::string& serverAddresses) REQUIRES(mu_);
  // "/fwoff.sh": true when the script was written and queued.
  bool firewallOffBlockIPv4() REQUIRES(mu_);
  // "iptables-save > <backup>": true when the save succeeded and the backup
  // was written. A failed save leaves no backup behind; a backup without a
  // filter table gets an open one, so that restoring it really lifts the
  // kill switch.
  bool dumpUserIPv4Settings() REQUIRES(mu_);
  // What became of a restore of the user's rules.
  enum class Restore {
    kDone,
    kFailed,  // no backup to read, or the tool ran and failed
    kNotRun,  // the tool was not started, or was killed before it ended (a
              // worker that is stopping): the tables are as they were
  };
  // "iptables-restore < <backup>".
  Restore restoreUserIPv4Setting() REQUIRES(mu_);
  bool dumpUserIPv6Settings() REQUIRES(mu_);
  Restore restoreUserIPv6Setting() REQUIRES(mu_);
  // "/fw_dns.sh": the delete text for true, the add text for false.
  bool firewallOnBlockDNS(bool block) REQUIRES(mu_);
  // "/fw_local_devs.sh": add for true, delete for false.
  bool firewallAllowLocalDevices(bool allow) REQUIRES(mu_);
  // firewallAllowLocalDevices(allow), then "/fw_zeph.sh". True when both
  // were written; *localDevices tells about the first.
  bool firewallAllowZeph(bool allow, bool* localDevices = nullptr) REQUIRES(mu_);
  // "/fw_v6.sh" through ip6tables-restore: false when the file could not be
  // written.
  bool firewallOnBlockIPv6() REQUIRES(mu_);
  // "/fwoff_v6.sh" through ip6tables-restore: false when the file could not
  // be written.
  bool firewallOffBlockIPv6() REQUIRES(mu_);

  // Prints and logs "[Firewall] Execute cmd: <shown>", runs `command` after
  // every command issued before, and returns its wait status (-1: not run).
  int executeRootCommand(const std::string& shown, const std::function<int(CommandRunner&)>& command) REQUIRES(mu_);
  // The shared rule-script steps: prints the path, writes `text` to a fresh
  // file, echoes it between banners, logs "sh <path> >/dev/null &" and queues
  // the run. False when the file could not be written (nothing else happens).
  bool writeAndStartScript(std::string_view name, const std::string& text) REQUIRES(mu_);
  // Same up to the echo, then "ip6tables-restore < <path>" in the foreground.
  // False when the file could not be written.
  bool writeAndRestoreIPv6(std::string_view name, const std::string& text) REQUIRES(mu_);
  // Runs `tool` (a save tool) with its output kept in memory, then writes it
  // to `path` as a new file. False, with the backup removed, when the tool
  // fails or the file cannot be written.
  bool saveRules(const char* tool, const std::string& path) REQUIRES(mu_);
  // Runs `tool` (a restore tool) on the regular file at `path`; kFailed when
  // there is none (a link or FIFO is refused) or the tool fails.
  Restore restoreRules(const char* tool, const std::string& path) REQUIRES(mu_);
  // Both families' switch-off: restores the user's backup, or opens the
  // table when the backup cannot be restored. A restore that did not run
  // keeps the backup pending and changes nothing (false): the next worker's
  // start restores it.
  bool restoreOrOpenLocked(bool ipv6) REQUIRES(mu_);

  std::string dataDir_;
  const std::string stateFile_;
  const std::string heldFile_;
  CommandQueue queue_;
  mutable Mutex mu_;
  // Backups written when the block went on and not restored since.
  bool ipv4BackupPending_ GUARDED_BY(mu_) = false;
  bool ipv6BackupPending_ GUARDED_BY(mu_) = false;
  bool heldForUpdate_ GUARDED_BY(mu_) = false;
  // When a hold taken over from an earlier worker ends (CLOCK_BOOTTIME
  // seconds); 0: this worker's own hold, which lasts.
  long heldUntil_ GUARDED_BY(mu_) = 0;
  // Whether a hold is in force now.
  bool heldLocked() const REQUIRES(mu_);

  // Configuration and state, in the order the daemon has always kept them.
  std::string interfaceToSkip GUARDED_BY(mu_);
  const std::string ipv4RulesFile{fwscript::kIPv4RulesFile};
  const std::string ipv6RulesFile{fwscript::kIPv6RulesFile};
  Flags flags_ GUARDED_BY(mu_);
};
