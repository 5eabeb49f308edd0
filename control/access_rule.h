// Who may drive the daemon: root, the members of the system group
// "tundrafox", and the users with an active session on a local seat (the
// desktop's own user, as systemd-logind counts it). Used by the daemon for
// every connection and by tundrafoxctl to explain a refusal.
#pragma once

#include <sys/types.h>

#include <vector>

#include "base/process.h"

inline constexpr const char kAccessGroup[] = "tundrafox";

// Where the rule looks things up: the system's user database and session
// manager (systemAccessSources), or a fake in tests.
class AccessSources {
 public:
  virtual ~AccessSources() = default;
  // Every group the user `uid` belongs to, its primary group included, as the
  // user database says. False when there is no such user or the lookup
  // failed.
  virtual bool groupsOf(uid_t uid, std::vector<gid_t>* groups) = 0;
  // The id of the group `name`; false when there is no such group.
  virtual bool groupId(const char* name, gid_t* gid) = 0;
  // The number of local seats on which `uid` has an active session; 0 when
  // none, or when no session manager runs; negative when the query failed.
  virtual int activeSeats(uid_t uid) = 0;
};

enum class Access {
  kRoot,
  kActiveSeat,
  kGroupMember,
  kRefused,  // not root, not in the group, no active local session
};

// Decides for `uid`. Root is decided without a lookup; an unknown user or a
// failed lookup never grants anything.
Access decideAccess(uid_t uid, AccessSources& sources);

// `uid` with its primary group and every group it belongs to, as the user
// database says (getpwuid_r, getgrouplist). False when there is no such
// user or the lookup failed.
bool lookupUserCredentials(uid_t uid, UserCredentials* user);

// The real sources: getpwuid_r, getgrouplist and getgrnam_r (so NSS as
// configured), and systemd-logind's record of sessions through sd-login.
// Sessions count only where systemd booted the machine and logind keeps its
// seat records (/run/systemd/seats/); elsewhere only root and the group
// apply. Thread-safe; lives for the whole process.
AccessSources& systemAccessSources();
