// The kill switch: IPv4 rule scripts, the IPv6 block, the user's rule backups
// and the state that records what is applied.
#pragma once

#include <string>

class CommandRunner;

// The firewall data directory of the daemon.
inline constexpr const char fwFilesDir[] = "/usr/share/tundra_fox";

// One FireWall drives the kernel's filter tables through `runner`, writing
// its scripts and backups into `dataDir`. Every public operation holds one
// lock, and every command it issues, background rule script or foreground
// save/restore, runs in issue order on one command queue, never overlapping
// another. Background scripts are not waited for.
class FireWall {
 public:
  // Uses the real command runner and fwFilesDir (the daemon's globals).
  FireWall();
  // `runner` must outlive the object. Creates `dataDir` (mode 0700) when it
  // does not exist.
  FireWall(std::string dataDir, CommandRunner& runner);
  ~FireWall();
  FireWall(const FireWall&) = delete;
  FireWall& operator=(const FireWall&) = delete;

  // Always true.
  bool isSupported() const { return true; }
  bool enableOnStart() const { return true; }
  bool getStateOfPF() const { return true; }

  // Characters allowed in a server address element and in an interface name;
  // anything else never reaches a script.
  static bool isValidServerAddress(const std::string& element);
  static bool isValidInterfaceName(const std::string& name);

  // Stores the tunnel interface name. Returns false (and changes nothing)
  // when `name` is not a valid interface name (empty is valid).
  bool setInterfaceToSkip(const std::string& name);

  // Apply the requested options. Return false when the request was refused
  // as a whole (an invalid server address or stored interface): nothing was
  // written or run and no flag changed. True otherwise.
  bool firewallChange(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                      bool allowLocalDevices, bool blockDNS);
  bool firewallOn(const std::string& serverAddresses, bool killSwitch, bool blockIPv6,
                  bool allowLocalDevices, bool blockDNS);
  // Everything off; the user's saved rules come back (or, when they cannot,
  // the filter tables are opened). Always true.
  bool firewallOff();
  // Opens the IPv4 and IPv6 filter tables; flags unchanged.
  bool reset();

  // Waits until every queued command has run (for tests and shutdown paths).
  void waitIdle();

  // The applied-state flags (read under the lock).
  bool killSwitchOn() const;
  bool ipv6Blocked() const;
  bool localDevicesAllowed() const;
  bool dnsBlocked() const;
  std::string interfaceToSkip() const;

 private:
  struct Impl;
  Impl* impl_;  // never freed by the global instance's destructor: see firewall.cpp
};

// The daemon's one firewall.
extern FireWall firewallImpl;
