#include "control/openvpn_policy.h"

#include <map>

#include "control/text.h"
#include "spine_test_support.h"

namespace {

// Files the client can read, and the programs only root can change (the rest: "Permission denied").
class FakeSources : public OpenvpnPolicySources {
 public:
  std::map<std::string, std::string> files;
  bool readFile(const std::string& path, std::string* content, std::string* why) override {
    const auto it = files.find(path);
    if (it == files.end()) *why = "Permission denied";
    else *content = it->second;
    return it != files.end();
  }
  bool rootOwnedProgram(const std::string& path, std::string* resolved, std::string* why) override {
    *resolved = path.starts_with("/etc/") ? "/usr/lib/resolv" + path.substr(path.rfind('/')) : path;  // a link
    *why = "/tmp is writable by others";
    return path.starts_with("/etc/") || path.starts_with("/usr/");
  }
};

const char kCa[] = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

}  // namespace

// Each case: the client's argument text and the files it can read ("a" is /u/a.conf), then the configuration
// openvpn gets (which, read back as a configuration, gives itself again) or the refusal logged.
TEST(OpenvpnPolicyTest, AllowsProviderProfilesAndRefusesWhatRunsWritesOrHides) {
  struct Case {
    std::string args, a, expected;
  };
  const std::string profile =
      "\xEF\xBB\xBF# provider profile\nclient\n--dev tun\n  remote \"vpn.example.com\" 1194 udp ; fallback\n"
      "remote 192.0.2.9 443 tcp-client\nverify-x509-name 'C=US, CN=vpn\"\\x' subject\nca /u/my\\ ca.crt\n"
      "ca /u/ca.crt\n<tls-crypt>\nplugin /tmp/u/evil.so\n</tls-crypt> text on the end tag's line\n"
      "tls-auth /u/ta.key 1\nauth-user-pass\nverb 3 #plugin /tmp/u/evil.so\n";
  const std::string profileConfig =
      "client\ndev \"tun\"\nremote \"vpn.example.com\" \"1194\" \"udp\"\nremote \"192.0.2.9\" \"443\" \"tcp-client\"\n"
      "verify-x509-name \"C=US, CN=vpn\\\"\\\\x\" \"subject\"\n<ca>\nspaced\n</ca>\n<ca>\n" + std::string(kCa) +
      "</ca>\n<tls-crypt>\nplugin /tmp/u/evil.so\n</tls-crypt>\n<tls-auth>\nkey\n</tls-auth>\nkey-direction \"1\"\n"
      "auth-user-pass\nverb \"3\"\n";
  const Case cases[] = {
      {"--config /u/a.conf", profile, profileConfig},
      {"/u/a.conf", "remote x\n", "remote \"x\"\n"},  // a lone word is a configuration
      {"--dev tun --ifconfig 10.9.0.1 10.9.0.2", "", "openvpn would wait for any peer: --remote is needed"},
      {"--script-security 2 --up /etc/openvpn/update-resolv-conf --down-pre --management 127.0.0.1 7505 --remote x",
       "", "script-security \"2\"\nup \"/usr/lib/resolv/update-resolv-conf\"\ndown-pre\n"
           "management \"127.0.0.1\" \"7505\"\nremote \"x\"\n"},
      {"--pkcs12 /u/p.p12 --dh none --auth-user-pass /u/pass --remote x", "",
       "<pkcs12>\nAP8K\n</pkcs12>\ndh \"none\"\n<auth-user-pass>\nme\npw\n</auth-user-pass>\nremote \"x\"\n"},
      // Programs, code, files written, and what hides options.
      {"--dev tun --ifconfig 10.9.0.1 10.9.0.2 --script-security 2 --up /tmp/u/up.sh", "",
       "--up runs a program (/tmp/u/up.sh: /tmp is writable by others)"},
      {"--up '/etc/openvpn/update-resolv-conf x'", "",
       "--up runs a program (only a program root owns, named by its path alone, may run)"},
      {"--config /u/a.conf", "dev tun\nscript-security 2\nup /tmp/u/up.sh\n",
       "--up runs a program (/tmp/u/up.sh: /tmp is writable by others) (/u/a.conf line 3)"},
      {"--plugin /tmp/u/evil.so --dev null", "", "--plugin loads code into openvpn"},
      {"--dev null --log /etc/victim", "", "--log writes or creates a file"},
      {"--writepid /etc/victim", "", "--writepid writes or creates a file"},
      {"--log-append /tmp/u/leak.txt --config /etc/shadow", "", "--log-append writes or creates a file"},
      {"--config /etc/shadow", "", "--config /etc/shadow: Permission denied"},
      {"--ca ca.crt", "", "--ca ca.crt: the path must be absolute"},
      {"--script-security 3", "", "--script-security does not take the argument \"3\""},
      {"--setenv opt plugin /tmp/u/evil.so", "", "--setenv sets options or the environment of openvpn's programs"},
      {"--management /tmp/u/sock unix", "",
       "--management is allowed only on a loopback address and a port from 1024, without a password file"},
      {"--management 127.0.0.1 80", "",
       "--management is allowed only on a loopback address and a port from 1024, without a password file"},
      {"--http-proxy 10.0.0.1 8080 /u/pass", "",
       "--http-proxy does not take the argument \"/u/pass\" (give the proxy's credentials with "
       "--http-proxy-user-pass)"},
      {"--dev 'tun0;x'", "", "--dev does not take the argument \"tun0;x\""},
      {"--remote-cert-tls server x", "", "--remote-cert-tls takes fewer arguments"},
      {"--verb 3 x --dev tun", "", "--verb takes fewer arguments"},
      {"x --dev tun", "", "\"x\" is not an option"},
      {"--dev tun --frobnicate", "", "--frobnicate is not on the list of allowed options"},
      // Hiding places in a configuration.
      {"--config /u/a.conf", "config /u/a.conf\n", "--config inside a configuration is not allowed (/u/a.conf line 1)"},
      {"/u/a.conf", "setenv opt block-outside-dns\n",
       "--setenv sets options or the environment of openvpn's programs (/u/a.conf line 1)"},
      {"/u/a.conf", "verb 3 # a comment\n--plugin /tmp/u/evil.so\n",
       "--plugin loads code into openvpn (/u/a.conf line 2)"},
      {"/u/a.conf", "verb 3" + std::string(250, ' ') + "plugin /tmp/u/evil.so\n",
       "--config /u/a.conf: the file has a line longer than openvpn reads at once"},
      {"/u/a.conf", "<ca>\nx\n  </ca>x\nplugin /tmp/u/evil.so\n</ca>\n",
       "--plugin loads code into openvpn (/u/a.conf line 4)"},
      {"/u/a.conf", "<plugin>\n/tmp/u/evil.so\n</plugin>\n", "--plugin loads code into openvpn (/u/a.conf line 1)"},
      {"/u/a.conf", "<connection>\nremote x\n</connection>\n",
       "--connection cannot be given inline (/u/a.conf line 1)"},
      {"/u/a.conf", "<ca>\nx\n", "<ca> has no end tag (/u/a.conf line 1)"},
      {"/u/a.conf", "remote \"x 1194\n", "openvpn cannot read line 1 of /u/a.conf"},
      {"/u/a.conf", "dev t\\un\n", "openvpn cannot read line 1 of /u/a.conf"},
      {"/u/a.conf", std::string("dev tun\0\nplugin x\n", 18), "--config /u/a.conf: the file holds a NUL byte"},
      {"--ca /u/evil.crt", "", "--ca /u/evil.crt: the file would end its inline block early"},
      {"/u/a.conf", [] { std::string a; for (int i = 0; i < 40; ++i) a += "ca /u/ca.crt\n"; return a; }(),
       "--ca /u/ca.crt: more than 32 files in one request (/u/a.conf line 32)"},
  };
  FakeSources sources;
  sources.files = {{"/u/my ca.crt", "spaced"}, {"/u/ca.crt", kCa}, {"/u/ta.key", "key\n"},
                   {"/u/p.p12", std::string("\0\xff\n", 3)}, {"/u/pass", "me\npw\n"},
                   {"/u/evil.crt", "x\n </ca>\nplugin /tmp/u/evil.so\n"}};
  for (const Case& c : cases) {
    sources.files["/u/a.conf"] = c.a;
    std::vector<std::string> words;
    ASSERT_TRUE(splitArguments(c.args, &words)) << c.args;
    const OpenvpnCheck check = checkOpenvpnRequest(words, sources);
    const bool refused = !c.expected.ends_with("\n");  // a configuration ends its last line
    EXPECT_EQ(check.allowed, !refused) << c.args << "\n" << c.a;
    EXPECT_EQ(refused ? check.refusal : check.config, c.expected) << c.args << "\n" << c.a;
    sources.files["/u/a.conf"] = check.config;
    EXPECT_TRUE(refused || checkOpenvpnRequest({"/u/a.conf"}, sources).config == c.expected) << c.args;
  }
}
