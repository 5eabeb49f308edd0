#include "control/dispatcher.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "base/error_text.h"
#include "control/openvpn_files.h"
#include "control/text.h"
#include "timezone/zone_name.h"
#include "base/command_runner.h"
#include "base/log.h"
#include "firewall/firewall.h"
#include "timezone/timezone_worker.h"

namespace {

const char* word(bool flag) { return flag ? "true" : "false"; }

void log(const std::string& line) { WriteLog(line.c_str()); }

// The one line that records what a firewall request asked for (no newline).
std::string settingsLine(const char* commandText, const FirewallRequest& r) {
  std::string line = commandText;
  line += " | Kill connect = ";
  line += word(r.killSwitch);
  line += " | block_ipv6 = ";
  line += word(r.blockIPv6);
  line += " | allow_local_ip = ";
  line += word(r.allowLocalDevices);
  line += " | change_timezone = ";
  line += word(r.changeTimezone);
  line += " | block_dns = ";
  line += word(r.blockDNS);
  return line;
}

// Commands 1 and 3. The interface is stored and the request applied as one
// firewall operation: a request that meets another is never applied with the
// other's interface, and a name the firewall refuses ends the request there.
bool firewallRequest(const MessagePacket& packet, FireWall& fw, bool on) {
  const char* commandText = on ? "AA_COMMAND_FIREWALL_ON" : "AA_COMMAND_FIREWALL_CHANGE";
  FirewallRequest r = decodeFirewallRequest(packet);
  FirewallOutcome outcome = fw.applyRequest(on, r.interfaceToSkip, r.serverAddresses, r.killSwitch, r.blockIPv6,
                                            r.allowLocalDevices, r.blockDNS);
  log(settingsLine(commandText, r));
  const char* problem = nullptr;
  switch (outcome) {
    case FirewallOutcome::kDone:
      return true;
    case FirewallOutcome::kInvalidInterface:
      problem = " refused: the interface name is not valid\n";
      break;
    case FirewallOutcome::kInvalidAddress:
      problem = " refused: the firewall refused the server addresses or the interface name\n";
      break;
    case FirewallOutcome::kHeldForUpdate:
      problem = " refused: the firewall was switched off for an update\n";
      break;
    case FirewallOutcome::kNotWritten:
      problem = " failed: a rule file could not be written\n";
      break;
  }
  log(commandText + std::string(problem));
  return false;
}

bool timezoneChange(const MessagePacket& packet, TimezoneWorker& worker) {
  TimezoneRequest r = decodeTimezoneRequest(packet);
  log(std::string("AA_COMMAND_TIMEZONE_CHANGE") + " | restore timezone = " + word(r.restoreTimezone) +
      " | timezone = " + escapeControlBytes(r.timezone));
  TimezoneOutcome outcome = r.restoreTimezone ? worker.restore() : worker.setTimezone(r.timezone);
  switch (outcome) {
    case TimezoneOutcome::kDone:
    case TimezoneOutcome::kNothingToDo:
      return true;
    case TimezoneOutcome::kUnsupported:
      return false;
    case TimezoneOutcome::kRefused:
      log(std::string("AA_COMMAND_TIMEZONE_CHANGE refused: ") + timezoneNameProblem(r.timezone) + "\n");
      return false;
    case TimezoneOutcome::kFailed:
      log("AA_COMMAND_TIMEZONE_CHANGE failed: timedatectl did not succeed\n");
      return false;
  }
  return false;
}

// Command 9. The argument text is split into words here and openvpn is
// started directly with them: no shell ever sees the client's text. Root
// gets its words as they are; for anyone else openvpn gets only the
// configuration the check built, written where only root can change it.
bool openvpnStart(const MessagePacket& packet, CommandRunner& runner, const PeerOwner& peer) {
  std::string arguments;
  WideConversion conversion = wideToUtf8(decodeOpenvpnArguments(packet), kOpenvpnArgumentsMaxBytes, &arguments);
  if (conversion != WideConversion::kOk) {
    log(std::string("AA_COMMAND_OPENVPN_START refused: ") + wideConversionProblem(conversion) + "\n");
    return false;
  }
  std::vector<std::string> words;
  if (!splitArguments(arguments, &words)) {
    log("AA_COMMAND_OPENVPN_START refused: the argument text has an open quote or ends with a lone backslash\n");
    return false;
  }
  std::vector<std::string> argv = {"openvpn"};
  if (peer.found && peer.uid == 0) {
    for (std::string& w : words) argv.push_back(std::move(w));
  } else if (!peer.found) {
    log("AA_COMMAND_OPENVPN_START refused: the client's user is not known\n");
    return false;
  } else {
    PeerPolicySources files(peer.uid);
    const OpenvpnCheck check = checkOpenvpnRequest(words, files);
    if (!check.allowed) {
      log("AA_COMMAND_OPENVPN_START refused: " + escapeControlBytes(check.refusal) + "\n");
      return false;
    }
    const std::string config = writeOpenvpnConfig(check.config);
    if (config.empty()) {
      log(std::string("AA_COMMAND_OPENVPN_START failed: the configuration could not be written: ") +
          errorText(errno) + "\n");
      return false;
    }
    argv.insert(argv.end(), {"--config", config});
  }
  // The log keeps the traditional shape of the command line.
  std::string shown = "openvpn " + escapeControlBytes(arguments) + " > /dev/null &";
  std::string line = "execite openvpn cmd: " + shown + "\n";
  progress(line);
  log(line);

  if (!runner.startDetached(argv)) {
    log("AA_COMMAND_OPENVPN_START failed: openvpn could not be started\n");
    return false;
  }
  return true;
}

bool installUpdateRequest(const MessagePacket& packet, DaemonServices& services, const PeerOwner& peer) {
  if (!services.installUpdate) {
    log("AA_COMMAND_INSTALL_UPDATE is not available in this build\n");
    return false;
  }
  std::string path;
  WideConversion conversion = wideToUtf8(decodePackagePath(packet), kPackagePathMaxBytes, &path);
  if (conversion != WideConversion::kOk) {
    log(std::string("AA_COMMAND_INSTALL_UPDATE refused: ") + wideConversionProblem(conversion) + "\n");
    return false;
  }
  return services.installUpdate(path, peer);
}

}  // namespace

MessageReply processMessagePacket(const MessagePacket& packet, DaemonServices& services,
                                  const PeerOwner& peer) {
  MessageReply reply;
  const int32_t command = decodeCommand(packet);

  char line[1024];
  std::snprintf(line, sizeof line, "Receive command: %d\n", command);
  progress(line);
  WriteLog(line);

  bool result = false;
  switch (command) {
    case AA_COMMAND_FIREWALL_ON:
      result = firewallRequest(packet, services.firewall, true);
      break;
    case AA_COMMAND_FIREWALL_OFF:
      // False when refused during an update or a file could not be written
      // (the firewall logs which and why).
      result = services.firewall.firewallOff();
      log("AA_COMMAND_FIREWALL_OFF");
      break;
    case AA_COMMAND_FIREWALL_CHANGE:
      result = firewallRequest(packet, services.firewall, false);
      break;
    case AA_COMMAND_FIREWALL_SUPPORTED:
      result = services.firewall.isSupported();
      break;
    case AA_COMMAND_FIREWALL_ENABLE_ON_START:
      result = services.firewall.enableOnStart();
      break;
    case AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED:
      log("AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED");
      result = services.timezone.isSupported();
      break;
    case AA_COMMAND_TIMEZONE_CHANGE:
      result = timezoneChange(packet, services.timezone);
      break;
    case AA_COMMAND_OPENVPN_START:
      result = openvpnStart(packet, services.runner, peer);
      break;
    case AA_COMMAND_INSTALL_UPDATE:
      result = installUpdateRequest(packet, services, peer);
      break;
    default:
      break;  // not recognised: the start lines and a zero reply
  }
  reply.result = result ? 1 : 0;
  return reply;
}
