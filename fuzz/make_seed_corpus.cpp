// Writes the dispatch fuzzer's seed corpus into the directory named by its
// one argument: one request record per command (and a few variants that
// reach the refusal paths), so the fuzzer starts from every branch.
#include <cstdio>
#include <memory>
#include <string>

#include "control/message.h"

namespace {

bool writeSeed(const std::string& dir, const std::string& name, const MessagePacket& packet) {
  std::string path = dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wbe");
  if (!f) {
    std::perror(path.c_str());
    return false;
  }
  bool ok = std::fwrite(packet.bytes, 1, sizeof packet.bytes, f) == sizeof packet.bytes;
  ok = std::fclose(f) == 0 && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seed_corpus DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  auto p = std::make_unique<MessagePacket>();
  bool ok = true;
  auto only = [&](const std::string& name, int32_t command) {
    encodeCommandOnly(p.get(), command);
    ok = writeSeed(dir, name, *p) && ok;
  };
  auto firewall = [&](const std::string& name, int32_t command, const FirewallRequest& r) {
    ok = encodeFirewallRequest(p.get(), command, r) && writeSeed(dir, name, *p) && ok;
  };
  auto timezoneSeed = [&](const std::string& name, bool restore, const std::string& tz) {
    ok = encodeTimezoneRequest(p.get(), {restore, tz}) && writeSeed(dir, name, *p) && ok;
  };
  auto openvpn = [&](const std::string& name, const std::u32string& args) {
    ok = encodeOpenvpnArguments(p.get(), args) && writeSeed(dir, name, *p) && ok;
  };
  auto update = [&](const std::string& name, const std::u32string& path) {
    ok = encodePackagePath(p.get(), path) && writeSeed(dir, name, *p) && ok;
  };

  firewall("01-firewall-on", AA_COMMAND_FIREWALL_ON,
           {"10.0.0.1;10.0.0.2-10.0.0.9;10.1.0.0/16", "tun0", true, true, true, true, true});
  firewall("01-firewall-on-bad-interface", AA_COMMAND_FIREWALL_ON, {"10.0.0.1", "tun0;id", true, false, false, false, false});
  only("02-firewall-off", AA_COMMAND_FIREWALL_OFF);
  firewall("03-firewall-change", AA_COMMAND_FIREWALL_CHANGE, {"10.0.0.1", "tun1", true, false, true, false, false});
  firewall("03-firewall-change-bad-address", AA_COMMAND_FIREWALL_CHANGE, {"$(id)", "tun1", true, false, false, false, true});
  only("04-unrecognised", 4);
  only("00-zero", 0);
  only("negative", -1);
  only("05-firewall-supported", AA_COMMAND_FIREWALL_SUPPORTED);
  only("06-firewall-enable-on-start", AA_COMMAND_FIREWALL_ENABLE_ON_START);
  only("07-timezone-supported", AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED);
  timezoneSeed("08-timezone-set", false, "Europe/Berlin");
  timezoneSeed("08-timezone-restore", true, "Asia/Tokyo");
  timezoneSeed("08-timezone-bad-name", false, "UTC\"; id; \"");
  openvpn("09-openvpn", U"--config \"/etc/openvpn/my vpn.ovpn\" --verb 3 'it'\\''s'");
  openvpn("09-openvpn-open-quote", U"--config 'a.ovpn");
  openvpn("09-openvpn-unicode", U"--config /home/\u00e9t\u00e9/\U0001F600.ovpn");
  update("10-install-update", U"/home/user/Downloads/tundra-fox_1.0_amd64.deb");
  return ok ? 0 : 1;
}
