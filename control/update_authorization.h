// Who may install an update: root, or a process that polkit authorizes for
// the daemon's action (an administrator's password by default).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/peer_owner.h"

// The polkit action of command 10 (debian/org.tundrafox.install-update.policy).
inline constexpr const char kInstallUpdateAction[] = "org.tundrafox.install-update";

// A process as polkit identifies it: the start time (clock ticks after boot,
// field 22 of /proc/PID/stat) keeps a reused pid from passing for it.
struct PeerProcess {
  pid_t pid = -1;
  uint64_t startTime = 0;
  uid_t uid = 0;
};

// The process of user `peer.uid` that holds the socket with inode
// `peer.inode` (a scan of /proc/*/fd); nullopt when `peer` was not found or
// no such process is left. Call it while the client's connection is open.
std::optional<PeerProcess> findPeerProcess(const PeerOwner& peer);

enum class AuthorizationVerdict {
  kAllowed,
  kDenied,       // polkit said no, the person gave up, or it took too long
  kUnavailable,  // no system bus, or polkit is not installed or not running
};

struct AuthorizationResult {
  AuthorizationVerdict verdict = AuthorizationVerdict::kDenied;
  std::string detail;  // for the log line: what polkit said, or why it could not be asked
};

// Asks polkit on the system bus (CheckAuthorization, with interaction
// allowed, so that the desktop's authentication agent may ask for a
// password) whether `process` may carry out `action`. Waits at most
// `timeout`; a check still open then is cancelled and counts as denied.
AuthorizationResult checkAuthorization(const PeerProcess& process, const char* action,
                                       std::chrono::seconds timeout);
