// tundrafoxctl: sends one request to tundrafoxd's control port and prints
// the reply. For administrators and tests; the desktop client speaks the
// same protocol.
//
// Exit status: 0 when the daemon answered 1, 1 when it answered 0 (refused,
// failed or not supported), 2 for a usage error, 3 when no reply came.
// An answer 0 to a caller whom the daemon does not serve at all (neither
// root, nor in the group tundrafox, nor active on a local seat) is explained
// on standard error.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/access_rule.h"
#include "control/message.h"
#include "control/text.h"
#include "base/io.h"
#include "base/unique_fd.h"

namespace {

constexpr int kExitYes = 0;
constexpr int kExitNo = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoReply = 3;

const char kMainHelp[] =
    "Usage: tundrafoxctl [--host ADDR] [--port N] [--timeout SECONDS] COMMAND [OPTIONS]\n"
    "\n"
    "Sends one request to the tundrafoxd daemon and prints its reply.\n"
    "\n"
    "Commands:\n"
    "  firewall on|change|off|supported|enable-on-start\n"
    "                         switch the kill switch on, change its options,\n"
    "                         switch it off, or ask about support\n"
    "  timezone supported|set NAME|restore\n"
    "                         ask whether the timezone can be changed, change it,\n"
    "                         or set the machine's default timezone back\n"
    "  openvpn -- ARGS...     start openvpn with ARGS\n"
    "  install-update PATH    install the update package at PATH\n"
    "  raw --command N        send a request that holds only command number N\n"
    "\n"
    "Options (anywhere before \"--\"):\n"
    "  --host ADDR            IPv4 address of the daemon (default 127.0.0.1)\n"
    "  --port N               control port (default 23589)\n"
    "  --timeout SECONDS      how long to wait for each send and for the reply\n"
    "                         (default 30)\n"
    "  --help                 help for the command given before it\n"
    "\n"
    "Exit status: 0 the daemon answered 1; 1 it answered 0 (refused, failed or\n"
    "not supported); 2 usage error; 3 no reply (daemon not reachable, or the\n"
    "connection closed or timed out before the reply).\n"
    "\n"
    "The daemon serves root, the members of the group tundrafox and users with\n"
    "an active session on a local seat; it answers everyone else with 0.\n";

const char kFirewallHelp[] =
    "Usage: tundrafoxctl firewall on     --servers 'A;B' --interface NAME [FLAGS]\n"
    "       tundrafoxctl firewall change --servers 'A;B' --interface NAME [FLAGS]\n"
    "       tundrafoxctl firewall off\n"
    "       tundrafoxctl firewall supported\n"
    "       tundrafoxctl firewall enable-on-start\n"
    "\n"
    "on (command 1) applies the kill switch: traffic outside the tunnel is\n"
    "blocked except to the VPN servers. change (command 3) applies new options\n"
    "to a kill switch that is on. off (command 2) lifts everything and puts the\n"
    "saved firewall rules back. supported (5) and enable-on-start (6) ask the\n"
    "daemon; both answer yes.\n"
    "\n"
    "Options of on and change:\n"
    "  --servers 'A;B'     VPN server addresses that stay reachable, separated\n"
    "                      by ';' (addresses, networks A/N or host\n"
    "                      names: letters, digits and . : / - only; at\n"
    "                      most 16 host names)\n"
    "  --interface NAME    the tunnel interface that stays open, e.g. tun0 (or\n"
    "                      tun+ for every tun interface; + alone is refused)\n"
    "  --no-kill-switch    send the kill switch flag as off\n"
    "  --block-ipv6        block all IPv6 traffic\n"
    "  --allow-lan         let traffic to and from 192.168.0.0/16 through\n"
    "  --block-dns         block DNS outside the tunnel\n"
    "  --change-timezone   set the change-timezone flag (only logged)\n";

const char kTimezoneHelp[] =
    "Usage: tundrafoxctl timezone supported\n"
    "       tundrafoxctl timezone set NAME\n"
    "       tundrafoxctl timezone restore\n"
    "\n"
    "supported (command 7) asks whether the daemon found the machine's default\n"
    "timezone at start, which changing needs. set (command 8) changes the\n"
    "system timezone to NAME, e.g. Europe/Berlin (letters, digits and / _ + -\n"
    "only, beginning with a letter). restore (command 8 with the restore flag) sets the default back\n"
    "when the daemon changed it; it answers 1 when there was nothing to do.\n";

const char kOpenvpnHelp[] =
    "Usage: tundrafoxctl openvpn -- ARGS...\n"
    "\n"
    "Command 9: the daemon starts openvpn ARGS in the background, as root,\n"
    "without a shell. Each ARG reaches openvpn as one argument, exactly as\n"
    "given here. Everything after \"--\" is passed on. The daemon refuses an\n"
    "argument text longer than 1023 bytes.\n"
    "\n"
    "Example: tundrafoxctl openvpn -- --config /etc/openvpn/client.conf\n";

const char kInstallHelp[] =
    "Usage: tundrafoxctl install-update PATH\n"
    "\n"
    "Command 10: the daemon switches the kill switch off, stops listening, and\n"
    "5 seconds later stops the client and itself, installs the package file\n"
    "PATH with dpkg and starts the client again. A relative PATH is made\n"
    "absolute against the current directory. At most 511 bytes.\n"
    "\n"
    "For a user other than root the daemon first asks polkit, about this very\n"
    "process, whether it may (by default an administrator's password, which\n"
    "the desktop's authentication agent asks for). tundrafoxctl then waits, at\n"
    "most 5 minutes, until the daemon stops listening (the update job was\n"
    "started: exit 0); otherwise no update was started (exit 1; the system log\n"
    "says why).\n";

const char kRawHelp[] =
    "Usage: tundrafoxctl raw --command N\n"
    "\n"
    "Sends a request whose command number is N (a signed 32-bit number) and\n"
    "whose other bytes are all zero. Unknown numbers are answered with 0.\n";

struct Connection {
  std::string host = "127.0.0.1";
  uint16_t port = kControlPort;
  int timeoutSeconds = 30;
};

int usage(const char* message, const char* help) {
  std::fprintf(stderr, "tundrafoxctl: %s\n\n%s", message, help);
  return kExitUsage;
}

bool parseInt(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

bool wantsHelp(const std::vector<std::string>& words) {
  for (const std::string& w : words) {
    if (w == "--help" || w == "-h") return true;
  }
  return false;
}

void setTimeouts(int fd, int seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Sends the record and reads the 9-byte reply. Prints the reply and returns
// the exit status.
int exchange(const Connection& conn, const MessagePacket& packet) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(conn.port);
  if (inet_pton(AF_INET, conn.host.c_str(), &addr.sin_addr) != 1) {
    return usage(("not an IPv4 address: " + conn.host).c_str(), kMainHelp);
  }
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    std::fprintf(stderr, "tundrafoxctl: socket: %s\n", std::strerror(errno));
    return kExitNoReply;
  }
  setTimeouts(fd.get(), conn.timeoutSeconds);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "tundrafoxctl: cannot connect to %s:%u: %s\n", conn.host.c_str(), conn.port,
                 std::strerror(errno));
    return kExitNoReply;
  }
  // SIGPIPE is ignored (main): a daemon that hangs up fails the write. The
  // daemon refuses a user who is not allowed at once, with nine zero bytes,
  // and closes without reading: the reply may then be waiting while the
  // rest of the record could not be sent.
  if (!writeFull(fd.get(), packet.bytes, sizeof packet.bytes) && errno != EPIPE && errno != ECONNRESET) {
    std::fprintf(stderr, "tundrafoxctl: sending the request failed: %s\n", std::strerror(errno));
    return kExitNoReply;
  }
  unsigned char reply[kMessageReplySize];
  errno = 0;
  if (!readFull(fd.get(), reply, sizeof reply)) {
    if (errno == 0) {
      std::fprintf(stderr, "tundrafoxctl: the daemon closed the connection without a reply\n");
    } else {
      std::fprintf(stderr, "tundrafoxctl: no reply: %s\n", std::strerror(errno));
    }
    return kExitNoReply;
  }
  MessageReply r = MessageReply::fromBytes(reply);
  std::printf("result: %u (%s)\nreply:", r.result,
              r.result == 1 ? "yes/done" : "no: refused, failed or not supported");
  for (unsigned char b : reply) std::printf(" %02x", b);
  std::printf("\n");
  return r.result == 1 ? kExitYes : kExitNo;
}

int firewallCommand(const Connection& conn, const std::vector<std::string>& words) {
  if (wantsHelp(words)) {
    std::fputs(kFirewallHelp, stdout);
    return kExitYes;
  }
  if (words.size() < 2) return usage("firewall needs a subcommand", kFirewallHelp);
  const std::string& sub = words[1];
  auto packet = std::make_unique<MessagePacket>();
  auto noMoreWords = [&](int32_t command) {
    if (words.size() > 2) return usage(("unexpected argument: " + words[2]).c_str(), kFirewallHelp);
    encodeCommandOnly(packet.get(), command);
    return exchange(conn, *packet);
  };
  if (sub == "off") return noMoreWords(AA_COMMAND_FIREWALL_OFF);
  if (sub == "supported") return noMoreWords(AA_COMMAND_FIREWALL_SUPPORTED);
  if (sub == "enable-on-start") return noMoreWords(AA_COMMAND_FIREWALL_ENABLE_ON_START);
  if (sub != "on" && sub != "change") return usage(("unknown firewall subcommand: " + sub).c_str(), kFirewallHelp);

  FirewallRequest r;
  r.killSwitch = true;
  bool haveServers = false, haveInterface = false;
  for (size_t i = 2; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--servers" || w == "--interface") {
      if (i + 1 >= words.size()) return usage((w + " needs a value").c_str(), kFirewallHelp);
      (w == "--servers" ? r.serverAddresses : r.interfaceToSkip) = words[++i];
      (w == "--servers" ? haveServers : haveInterface) = true;
    } else if (w == "--no-kill-switch") {
      r.killSwitch = false;
    } else if (w == "--block-ipv6") {
      r.blockIPv6 = true;
    } else if (w == "--allow-lan") {
      r.allowLocalDevices = true;
    } else if (w == "--block-dns") {
      r.blockDNS = true;
    } else if (w == "--change-timezone") {
      r.changeTimezone = true;
    } else {
      return usage(("unknown option: " + w).c_str(), kFirewallHelp);
    }
  }
  if (!haveServers || !haveInterface) return usage("--servers and --interface are required", kFirewallHelp);
  int32_t command = sub == "on" ? AA_COMMAND_FIREWALL_ON : AA_COMMAND_FIREWALL_CHANGE;
  if (!encodeFirewallRequest(packet.get(), command, r)) {
    return usage("--servers or --interface is too long for the request", kFirewallHelp);
  }
  return exchange(conn, *packet);
}

int timezoneCommand(const Connection& conn, const std::vector<std::string>& words) {
  if (wantsHelp(words)) {
    std::fputs(kTimezoneHelp, stdout);
    return kExitYes;
  }
  if (words.size() < 2) return usage("timezone needs a subcommand", kTimezoneHelp);
  const std::string& sub = words[1];
  auto packet = std::make_unique<MessagePacket>();
  if (sub == "supported" || sub == "restore") {
    if (words.size() > 2) return usage(("unexpected argument: " + words[2]).c_str(), kTimezoneHelp);
    if (sub == "supported") {
      encodeCommandOnly(packet.get(), AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED);
    } else {
      encodeTimezoneRequest(packet.get(), {true, ""});
    }
    return exchange(conn, *packet);
  }
  if (sub == "set") {
    if (words.size() != 3) return usage("timezone set needs exactly one NAME", kTimezoneHelp);
    if (!encodeTimezoneRequest(packet.get(), {false, words[2]})) return usage("NAME is too long", kTimezoneHelp);
    return exchange(conn, *packet);
  }
  return usage(("unknown timezone subcommand: " + sub).c_str(), kTimezoneHelp);
}

int openvpnCommand(const Connection& conn, const std::vector<std::string>& words,
                   const std::optional<std::vector<std::string>>& passthrough) {
  if (wantsHelp(words)) {
    std::fputs(kOpenvpnHelp, stdout);
    return kExitYes;
  }
  if (words.size() > 1) return usage("put openvpn's arguments after \"--\"", kOpenvpnHelp);
  if (!passthrough) return usage("missing \"--\" before openvpn's arguments", kOpenvpnHelp);
  std::u32string units;
  if (!utf8ToWide(joinArguments(*passthrough), &units)) return usage("the arguments are not UTF-8", kOpenvpnHelp);
  auto packet = std::make_unique<MessagePacket>();
  if (!encodeOpenvpnArguments(packet.get(), units)) return usage("the arguments are too long", kOpenvpnHelp);
  return exchange(conn, *packet);
}

// True while something listens on local TCP port `port` (from /proc/net/tcp,
// so without connecting).
bool portListening(uint16_t port) {
  char want[32];
  std::snprintf(want, sizeof want, ":%04X 00000000:0000 0A", port);
  std::FILE* f = std::fopen("/proc/net/tcp", "re");
  if (f == nullptr) return false;
  char line[512];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f) != nullptr) found = std::strstr(line, want) != nullptr;
  std::fclose(f);
  return found;
}

int installCommand(const Connection& conn, const std::vector<std::string>& words) {
  if (wantsHelp(words)) {
    std::fputs(kInstallHelp, stdout);
    return kExitYes;
  }
  if (words.size() != 2) return usage("install-update needs exactly one PATH", kInstallHelp);
  std::error_code ec;
  std::string path = std::filesystem::absolute(words[1], ec).string();
  if (ec) return usage(("cannot make the path absolute: " + ec.message()).c_str(), kInstallHelp);
  std::u32string units;
  if (!utf8ToWide(path, &units)) return usage("the path is not UTF-8", kInstallHelp);
  auto packet = std::make_unique<MessagePacket>();
  if (!encodePackagePath(packet.get(), units)) return usage("the path is too long", kInstallHelp);
  const int status = exchange(conn, *packet);
  if (status != kExitYes || ::geteuid() == 0) return status;
  // polkit asks about this process: it must still run while the person types.
  std::fprintf(stderr, "tundrafoxctl: waiting for polkit's authorization (an administrator's password may be asked)\n");
  for (int i = 0; i < 5 * 60 * 10 && portListening(conn.port); ++i) ::usleep(100 * 1000);
  if (portListening(conn.port)) {
    std::fprintf(stderr, "tundrafoxctl: no update was started (not authorized: see the system log)\n");
    return kExitNo;
  }
  std::fprintf(stderr, "tundrafoxctl: authorized: the update job runs in 5 seconds\n");
  return kExitYes;
}

// After an answer 0: when the daemon would not serve this user at all, says
// so, and how an administrator lets the user in.
void explainRefusal() {
  const uid_t uid = ::geteuid();
  if (decideAccess(uid, systemAccessSources()) != Access::kRefused) return;
  std::string name = std::to_string(uid);
  if (const struct passwd* pw = ::getpwuid(uid)) name = pw->pw_name;
  std::fprintf(stderr,
               "tundrafoxctl: the daemon refuses requests from %s: not root, not in group %s, no active "
               "session on a local seat.\n"
               "To let this user in, an administrator runs: adduser %s %s\n",
               name.c_str(), kAccessGroup, name.c_str(), kAccessGroup);
}

int rawCommand(const Connection& conn, const std::vector<std::string>& words) {
  if (wantsHelp(words)) {
    std::fputs(kRawHelp, stdout);
    return kExitYes;
  }
  long long command = 0;
  if (words.size() != 3 || words[1] != "--command" || !parseInt(words[2], INT32_MIN, INT32_MAX, &command)) {
    return usage("raw needs --command N (a signed 32-bit number)", kRawHelp);
  }
  auto packet = std::make_unique<MessagePacket>();
  encodeCommandOnly(packet.get(), static_cast<int32_t>(command));
  return exchange(conn, *packet);
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Connection conn;
  std::vector<std::string> words;                        // the command and its options
  std::optional<std::vector<std::string>> passthrough;  // after "--"
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--") {
      passthrough.emplace(argv + i + 1, argv + argc);
      break;
    }
    if (a == "--host" || a == "--port" || a == "--timeout") {
      if (i + 1 >= argc) return usage((a + " needs a value").c_str(), kMainHelp);
      std::string v = argv[++i];
      long long n = 0;
      if (a == "--host") {
        conn.host = v;
      } else if (a == "--port") {
        if (!parseInt(v, 1, 65535, &n)) return usage("--port needs a number from 1 to 65535", kMainHelp);
        conn.port = static_cast<uint16_t>(n);
      } else {
        if (!parseInt(v, 1, 3600, &n)) return usage("--timeout needs a number of seconds from 1 to 3600", kMainHelp);
        conn.timeoutSeconds = static_cast<int>(n);
      }
      continue;
    }
    words.push_back(a);
  }
  if (words.empty()) return usage("missing command", kMainHelp);
  const std::string& cmd = words[0];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::fputs(kMainHelp, stdout);
    return kExitYes;
  }
  if (cmd != "openvpn" && passthrough) return usage("\"--\" is only for openvpn's arguments", kMainHelp);
  int status = kExitUsage;
  if (cmd == "firewall") {
    status = firewallCommand(conn, words);
  } else if (cmd == "timezone") {
    status = timezoneCommand(conn, words);
  } else if (cmd == "openvpn") {
    status = openvpnCommand(conn, words, passthrough);
  } else if (cmd == "install-update") {
    status = installCommand(conn, words);
  } else if (cmd == "raw") {
    status = rawCommand(conn, words);
  } else {
    return usage(("unknown command: " + cmd).c_str(), kMainHelp);
  }
  if (status == kExitNo) explainRefusal();
  return status;
}
