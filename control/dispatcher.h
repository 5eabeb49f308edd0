// The command dispatcher: one request record in, one reply out.
#pragma once

#include <functional>
#include <string>

#include "base/peer_owner.h"
#include "control/message.h"

class CommandRunner;
class FireWall;
class TimezoneWorker;

// Everything a request can act on. The references must outlive every
// processMessagePacket call that uses them.
struct DaemonServices {
  FireWall& firewall;
  TimezoneWorker& timezone;
  // Starts the VPN process (command 9).
  CommandRunner& runner;
  // Command 10: installs the package at `packagePath` (UTF-8, at most 511
  // bytes) for `peer`. True when the request was taken (see installUpdate in
  // control/update_job.h). Empty: command 10 is not available and is
  // answered like an unrecognised command.
  std::function<bool(const std::string& packagePath, const PeerOwner& peer)> installUpdate;
};

// Carries out the request in `packet` and returns the reply to send.
// `result` is 1 when the command was recognised and carried out (or, for the
// query commands, when the answer is yes); 0 for an unrecognised command, an
// unsupported or failed timezone change, and every refused request: invalid
// firewall addresses or interface, an unacceptable timezone name, an argument
// text or package path that cannot be converted or split, openvpn options
// that a peer other than root may not give (control/openvpn_policy.h), or a
// VPN process that could not be started. Refusals are logged and nothing is
// done. openvpn gets root's words as they are, and for any other peer
// (found) only the configuration the check built from its options and the
// files it can read itself; for a peer not found, command 9 is refused.
// `peer` is who sent the request: the owner of the client's socket, as the
// listener found it before reading the record (found is false when it looked
// nothing up). Safe to call from several threads at once.
MessageReply processMessagePacket(const MessagePacket& packet, DaemonServices& services, const PeerOwner& peer);
