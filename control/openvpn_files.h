// The file system as the openvpn check sees it for one client, and the
// configuration the daemon writes for openvpn.
#pragma once

#include <sys/types.h>

#include <string>

#include "control/openvpn_policy.h"

// The directory of the configurations the daemon writes for openvpn: root's
// alone (mode 0700), under the daemon's state directory in /run.
inline constexpr const char kOpenvpnConfigDir[] = "/run/tundrafoxd/openvpn";

// Files as the user `uid` could read them: each is read by a child process
// holding that user's ids and groups from the user database (a user that is
// not in it reads nothing), at most 256 KiB a file, within 5 s. Programs are
// inspected with lstat and stat along their path, the path as given and the
// path with its links resolved.
class PeerPolicySources final : public OpenvpnPolicySources {
 public:
  explicit PeerPolicySources(uid_t uid) : uid_(uid) {}
  bool readFile(const std::string& path, std::string* content, std::string* why) override;
  bool rootOwnedProgram(const std::string& path, std::string* resolved, std::string* why) override;

 private:
  uid_t uid_;
};

// Writes `config` into kOpenvpnConfigDir (created when missing; refused
// unless it is a directory of root's that no one else can write) as a file
// of mode 0600 named after a hash of its text, so the same profile started
// again takes the same file instead of a new one. Returns its path, or ""
// with errno set when it could not be written.
std::string writeOpenvpnConfig(const std::string& config);
