#include "control/dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_command_runner.h"
#include "firewall/firewall.h"
#include "timezone/timezone_worker.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Argv = std::vector<std::string>;

size_t countOf(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1)) ++n;
  return n;
}

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = ::testing::TempDir() + "dispatcher.XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    tzFiles_.timezoneList = dir_ + "/timezone";
    tzFiles_.sysconfigClock = dir_ + "/clock";
    tzFiles_.timezoneConfig = dir_ + "/TIMEZONE";
    std::ofstream(tzFiles_.timezoneList) << "Europe/Berlin\n";
    ::testing::internal::CaptureStdout();  // the firewall prints when it creates its directory
    firewall_ = std::make_unique<FireWall>(dir_ + "/fw", fwRunner_);
    ::testing::internal::GetCapturedStdout();
    timezone_ = std::make_unique<TimezoneWorker>(tzFiles_, tzRunner_);
    services_ = std::make_unique<DaemonServices>(DaemonServices{*firewall_, *timezone_, runner_, {}});
    packet_ = std::make_unique<MessagePacket>();
  }
  void TearDown() override {
    firewall_.reset();
    services_.reset();
    timezone_.reset();
    fs::remove_all(dir_);
  }

  // Dispatches `packet_`, waits for the firewall's queue, and returns the
  // reply's wire bytes; what was printed (including the log lines) is in out_.
  std::vector<unsigned char> dispatch() {
    ::testing::internal::CaptureStdout();
    MessageReply reply = processMessagePacket(*packet_, *services_);
    firewall_->waitIdle();
    out_ = ::testing::internal::GetCapturedStdout();
    unsigned char bytes[kMessageReplySize];
    reply.toBytes(bytes);
    return {bytes, bytes + kMessageReplySize};
  }
  int result() { return dispatch()[0]; }

  void firewallPacket(int32_t command, const std::string& addresses, const std::string& iface, bool killSwitch,
                      bool blockIPv6, bool allowLan, bool changeTz, bool blockDns) {
    FirewallRequest r{addresses, iface, killSwitch, blockIPv6, allowLan, changeTz, blockDns};
    ASSERT_TRUE(encodeFirewallRequest(packet_.get(), command, r));
  }
  void openvpnPacket(const std::u32string& args) { ASSERT_TRUE(encodeOpenvpnArguments(packet_.get(), args)); }
  void timezonePacket(bool restore, const std::string& name) {
    ASSERT_TRUE(encodeTimezoneRequest(packet_.get(), {restore, name}));
  }

  std::string dir_;
  TimezoneFiles tzFiles_;
  FakeCommandRunner fwRunner_, tzRunner_, runner_;
  std::unique_ptr<FireWall> firewall_;
  std::unique_ptr<TimezoneWorker> timezone_;
  std::unique_ptr<DaemonServices> services_;
  std::unique_ptr<MessagePacket> packet_;
  std::string out_;
};

const std::vector<unsigned char> kZeroReply(kMessageReplySize, 0);
const std::vector<unsigned char> kOneReply = {1, 0, 0, 0, 0, 0, 0, 0, 0};

}  // namespace

TEST_F(DispatcherTest, UnrecognisedCommandsOnlyLogTheStartLine) {
  for (int32_t command : {4, 0, 11, -1, 0x7FFFFFFF}) {
    encodeCommandOnly(packet_.get(), command);
    std::memset(packet_->bytes + 4, 0x31, 100);  // payload is not looked at
    EXPECT_EQ(dispatch(), kZeroReply) << command;
    std::string start = "Receive command: " + std::to_string(command) + "\n";
    // Printed bare, then again behind the log timestamp.
    EXPECT_EQ(countOf(out_, start), 2u) << out_;
    EXPECT_EQ(out_.find(start), 0u);
    EXPECT_THAT(out_, HasSubstr(" - " + start));
    EXPECT_EQ(out_.size(), out_.rfind(start) + start.size()) << "nothing after the start lines: " << out_;
  }
  EXPECT_TRUE(runner_.commands().empty());
  EXPECT_TRUE(fwRunner_.commands().empty());
  EXPECT_TRUE(tzRunner_.commands().empty());
}

TEST_F(DispatcherTest, FirewallOnWithNothingSetStillCallsTheFirewall) {
  firewallPacket(AA_COMMAND_FIREWALL_ON, "", "", false, false, false, false, false);
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_, HasSubstr("Receive command: 1\n"));
  EXPECT_THAT(out_, HasSubstr("firewallOn: "));
  EXPECT_THAT(out_, HasSubstr(" - AA_COMMAND_FIREWALL_ON | Kill connect = false | block_ipv6 = false | "
                              "allow_local_ip = false | change_timezone = false | block_dns = false"));
  EXPECT_EQ(firewall_->interfaceToSkipName(), "");
}

TEST_F(DispatcherTest, FirewallOnAndChangeHandTheOptionsOn) {
  firewallPacket(AA_COMMAND_FIREWALL_ON, "10.0.0.1;10.0.0.2", "tun0", true, false, true, true, true);
  packet_->bytes[kKillSwitchOffset] = 2;  // any non-zero byte is true
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_, HasSubstr("AA_COMMAND_FIREWALL_ON | Kill connect = true | block_ipv6 = false | "
                              "allow_local_ip = true | change_timezone = true | block_dns = true"));
  // The settings line follows the firewall's own lines.
  EXPECT_GT(out_.find("AA_COMMAND_FIREWALL_ON |"), out_.find("firewallOn: tun0"));
  EXPECT_TRUE(firewall_->killSwitchOn());
  EXPECT_TRUE(firewall_->localDevicesAllowed());
  EXPECT_TRUE(firewall_->dnsBlocked());
  EXPECT_FALSE(firewall_->ipv6Blocked());
  EXPECT_EQ(firewall_->interfaceToSkipName(), "tun0");

  firewallPacket(AA_COMMAND_FIREWALL_CHANGE, "10.0.0.1", "tun1", true, true, false, false, false);
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_, HasSubstr("AA_COMMAND_FIREWALL_CHANGE | Kill connect = true | block_ipv6 = true | "
                              "allow_local_ip = false | change_timezone = false | block_dns = false"));
  EXPECT_TRUE(firewall_->ipv6Blocked());
  EXPECT_FALSE(firewall_->localDevicesAllowed());
  EXPECT_EQ(firewall_->interfaceToSkipName(), "tun1");
}

// A request the kill switch refuses is answered 0 and changes nothing.
TEST_F(DispatcherTest, RefusedFirewallRequestsAnswerZero) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"1.2.3.4", "tun0; rm -rf /"}, {"1.2.3.4", "$(id)"}, {"1.2.3.4;$(id)", "tun0"},
      {"`id`", "tun0"},              {"; rm -rf /", "tun0"}, {"1.2.3.4\nreboot", "tun0"},
  };
  for (const auto& [addresses, iface] : bad) {
    for (int32_t command : {AA_COMMAND_FIREWALL_ON, AA_COMMAND_FIREWALL_CHANGE}) {
      firewallPacket(command, addresses, iface, true, true, true, false, true);
      EXPECT_EQ(dispatch(), kZeroReply) << addresses << " / " << iface;
      EXPECT_THAT(out_, HasSubstr(" refused: ")) << out_;
    }
  }
  EXPECT_TRUE(fwRunner_.commands().empty());
  EXPECT_FALSE(firewall_->killSwitchOn());
  EXPECT_FALSE(firewall_->ipv6Blocked());
}

TEST_F(DispatcherTest, FirewallOffAnswersOneEvenWhenAlreadyOff) {
  encodeCommandOnly(packet_.get(), AA_COMMAND_FIREWALL_OFF);
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_, HasSubstr(" - AA_COMMAND_FIREWALL_OFF"));
  EXPECT_EQ(dispatch(), kOneReply);
}

TEST_F(DispatcherTest, SupportQueriesAnswerOneWithoutLogLines) {
  for (int32_t command : {AA_COMMAND_FIREWALL_SUPPORTED, AA_COMMAND_FIREWALL_ENABLE_ON_START}) {
    encodeCommandOnly(packet_.get(), command);
    EXPECT_EQ(dispatch(), kOneReply);
    std::string start = "Receive command: " + std::to_string(command) + "\n";
    EXPECT_EQ(out_.size(), out_.rfind(start) + start.size()) << out_;
  }
  EXPECT_TRUE(fwRunner_.commands().empty());
}

TEST_F(DispatcherTest, TimezoneSupportFollowsTheWorker) {
  encodeCommandOnly(packet_.get(), AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED);
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_, HasSubstr(" - AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED"));

  fs::remove(tzFiles_.timezoneList);
  TimezoneWorker unsupported(tzFiles_, tzRunner_);
  DaemonServices services{*firewall_, unsupported, runner_, {}};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(processMessagePacket(*packet_, services).result, 0);
  EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr(" - AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED"));

  timezonePacket(false, "Asia/Tokyo");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(processMessagePacket(*packet_, services).result, 0);
  ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(tzRunner_.commands().empty());
}

TEST_F(DispatcherTest, TimezoneChangeAndRestore) {
  timezonePacket(false, "Asia/Tokyo");
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_, HasSubstr(" - AA_COMMAND_TIMEZONE_CHANGE | restore timezone = false | timezone = Asia/Tokyo"));
  EXPECT_TRUE(timezone_->isChanged());

  // The text is logged but not used when restoring.
  timezonePacket(true, "America/Lima");
  packet_->bytes[kRestoreTimezoneOffset] = 7;
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_,
              HasSubstr(" - AA_COMMAND_TIMEZONE_CHANGE | restore timezone = true | timezone = America/Lima"));
  EXPECT_EQ(tzRunner_.commands(), (std::vector<std::string>{"timedatectl set-timezone \"Asia/Tokyo\"",
                                                            "timedatectl set-timezone \"Europe/Berlin\""}));
  // Nothing left to restore is not a failure.
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_EQ(tzRunner_.commands().size(), 2u);
}

TEST_F(DispatcherTest, UnsafeTimezoneNamesAreRefused) {
  for (const char* name : {"", "; rm -rf /", "$(id)", "`id`", "a\nb", "UTC\" && reboot && \"", "../../../etc/x"}) {
    timezonePacket(false, name);
    EXPECT_EQ(dispatch(), kZeroReply) << name;
    EXPECT_THAT(out_, HasSubstr("AA_COMMAND_TIMEZONE_CHANGE refused: the timezone name")) << out_;
  }
  EXPECT_TRUE(tzRunner_.commands().empty());
  EXPECT_FALSE(timezone_->isChanged());
}

TEST_F(DispatcherTest, FailedTimedatectlIsNotReportedAsSuccess) {
  tzRunner_.setShellStatus(1 << 8);
  timezonePacket(false, "Asia/Tokyo");
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_THAT(out_, HasSubstr("AA_COMMAND_TIMEZONE_CHANGE failed"));
  EXPECT_FALSE(timezone_->isChanged());

  tzRunner_.setShellStatus(0);
  ASSERT_EQ(result(), 1);
  tzRunner_.setShellStatus(1 << 8);
  timezonePacket(true, "");
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_TRUE(timezone_->isChanged());
}

TEST_F(DispatcherTest, OpenvpnStartsWithoutAShell) {
  openvpnPacket(U"--config \"/home/u/my vpn.ovpn\" --verb 3");
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_EQ(runner_.detachedArgv(), (std::vector<Argv>{{"openvpn", "--config", "/home/u/my vpn.ovpn", "--verb", "3"}}));
  const std::string line = "execite openvpn cmd: openvpn --config \"/home/u/my vpn.ovpn\" --verb 3 > /dev/null &\n";
  EXPECT_EQ(countOf(out_, line), 2u) << out_;
  EXPECT_THAT(out_, HasSubstr(" - " + line));
}

TEST_F(DispatcherTest, OpenvpnWithEmptyArguments) {
  openvpnPacket(U"");
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_THAT(out_, HasSubstr("execite openvpn cmd: openvpn  > /dev/null &\n"));
  EXPECT_EQ(runner_.detachedArgv(), (std::vector<Argv>{{"openvpn"}}));
}

// Shell syntax in the argument text reaches openvpn as plain words; nothing
// else is ever started.
TEST_F(DispatcherTest, OpenvpnArgumentsAreNeverInterpreted) {
  openvpnPacket(U"--config a.ovpn; rm -rf / $(id) `id` > /etc/passwd & a\nb");
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_EQ(runner_.detachedArgv(), (std::vector<Argv>{{"openvpn", "--config", "a.ovpn;", "rm", "-rf", "/", "$(id)",
                                                         "`id`", ">", "/etc/passwd", "&", "a", "b"}}));
  EXPECT_TRUE(std::vector<std::string>{runner_.commands()}.size() == 1);
}

TEST_F(DispatcherTest, OpenvpnRefusesTextItCannotSplitOrConvert) {
  std::u32string surrogate = U"--config ";
  surrogate.push_back(0xDC00);
  std::u32string tooBig = U"--config ";
  tooBig.push_back(0x110000);
  const std::vector<std::u32string> bad = {
      U"--config '/tmp/a.ovpn; rm -rf /",  // open single quote
      U"--config \"$(id)",                 // open double quote
      U"--config a.ovpn `id` \\",          // lone trailing backslash
      surrogate,
      tooBig,
      std::u32string(1024, U'a'),               // 1024 bytes: does not fit
      std::u32string(512, U'\u00e9'),           // 1024 bytes as UTF-8
  };
  for (const std::u32string& args : bad) {
    openvpnPacket(args);
    EXPECT_EQ(dispatch(), kZeroReply) << args.size();
    EXPECT_THAT(out_, HasSubstr("AA_COMMAND_OPENVPN_START refused: "));
    EXPECT_THAT(out_, Not(HasSubstr("execite openvpn cmd")));
  }
  EXPECT_TRUE(runner_.commands().empty());

  openvpnPacket(std::u32string(1023, U'a'));  // the largest text that fits
  EXPECT_EQ(dispatch(), kOneReply);
}

TEST_F(DispatcherTest, OpenvpnThatCannotStartAnswersZero) {
  runner_.setStartDetachedResult(false);
  openvpnPacket(U"--version");
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_THAT(out_, HasSubstr("AA_COMMAND_OPENVPN_START failed"));
}

TEST_F(DispatcherTest, InstallUpdateWithoutAHookIsNotRecognised) {
  ASSERT_TRUE(encodePackagePath(packet_.get(), U"/tmp/a.deb"));
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_THAT(out_, HasSubstr("AA_COMMAND_INSTALL_UPDATE is not available"));
}

TEST_F(DispatcherTest, InstallUpdateHandsTheConvertedPathToTheHook) {
  std::vector<std::string> paths;
  bool hookResult = true;
  services_->installUpdate = [&](const std::string& path) {
    paths.push_back(path);
    return hookResult;
  };
  ASSERT_TRUE(encodePackagePath(packet_.get(), U"/home/u/Downloads/fox \u00e9.deb"));
  packet_->bytes[4] = 0xAB;  // not part of the update layout
  EXPECT_EQ(dispatch(), kOneReply);
  hookResult = false;
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_EQ(paths, (std::vector<std::string>{"/home/u/Downloads/fox \xc3\xa9.deb", "/home/u/Downloads/fox \xc3\xa9.deb"}));

  std::u32string surrogate = U"/tmp/a";
  surrogate.push_back(0xD800);
  for (const std::u32string& bad : {surrogate, std::u32string(512, U'a')}) {
    ASSERT_TRUE(encodePackagePath(packet_.get(), bad));
    EXPECT_EQ(dispatch(), kZeroReply);
    EXPECT_THAT(out_, HasSubstr("AA_COMMAND_INSTALL_UPDATE refused: "));
  }
  EXPECT_EQ(paths.size(), 2u);
  ASSERT_TRUE(encodePackagePath(packet_.get(), std::u32string(511, U'a')));
  hookResult = true;
  EXPECT_EQ(dispatch(), kOneReply);
}

TEST_F(DispatcherTest, ConcurrentRequestsAreServedSafely) {
  ::testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      auto p = std::make_unique<MessagePacket>();
      for (int i = 0; i < 25; ++i) {
        switch ((t + i) % 5) {
          case 0:
            encodeTimezoneRequest(p.get(), {false, "Asia/Tokyo"});
            break;
          case 1:
            encodeTimezoneRequest(p.get(), {true, ""});
            break;
          case 2:
            encodeOpenvpnArguments(p.get(), U"--config a.ovpn");
            break;
          case 3:
            encodeFirewallRequest(p.get(), AA_COMMAND_FIREWALL_CHANGE, {"10.0.0.1", "tun0", true, false, false, false, false});
            break;
          default:
            encodeCommandOnly(p.get(), AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED);
            break;
        }
        if (processMessagePacket(*p, *services_).result != 1) failures.fetch_add(1);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  firewall_->waitIdle();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(runner_.detachedArgv().size(), 20u);
}
