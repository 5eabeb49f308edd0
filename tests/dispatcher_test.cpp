#include "control/dispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_command_runner.h"
#include "firewall/firewall.h"
#include "spine_test_support.h"
#include "timezone/timezone_worker.h"

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Reply = std::vector<unsigned char>;
const Reply kZeroReply(kMessageReplySize, 0);
const Reply kOneReply = {1, 0, 0, 0, 0, 0, 0, 0, 0};

class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(tzFiles_.timezoneList) << "Europe/Berlin\n";
    std::filesystem::create_directory(dir_.file("fw"));  // else the firewall prints that it made it
    firewall_ = std::make_unique<FireWall>(dir_.file("fw"), fwRunner_);
    timezone_ = std::make_unique<TimezoneWorker>(tzFiles_, tzRunner_);
    services_ = std::make_unique<DaemonServices>(DaemonServices{*firewall_, *timezone_, runner_, {}});
  }

  // Dispatches `packet_`, waits for the firewall's queue, and returns the
  // reply's wire bytes; what was printed (the log lines too) is in out_.
  Reply dispatch() {
    ::testing::internal::CaptureStdout();
    MessageReply reply = processMessagePacket(*packet_, *services_);
    firewall_->waitIdle();
    out_ = ::testing::internal::GetCapturedStdout();
    unsigned char bytes[kMessageReplySize];
    reply.toBytes(bytes);
    return {bytes, bytes + kMessageReplySize};
  }
  void firewallPacket(int32_t command, const FirewallRequest& r) {
    ASSERT_TRUE(encodeFirewallRequest(packet_.get(), command, r));
  }

  ScopedTempDir dir_;
  TimezoneFiles tzFiles_{dir_.file("timezone"), dir_.file("clock"), dir_.file("TIMEZONE")};
  FakeCommandRunner fwRunner_, tzRunner_, runner_;
  std::unique_ptr<FireWall> firewall_;
  std::unique_ptr<TimezoneWorker> timezone_;
  std::unique_ptr<DaemonServices> services_;
  std::unique_ptr<MessagePacket> packet_ = std::make_unique<MessagePacket>();
  std::string out_;
};

}  // namespace

// The start line is printed bare, then logged behind a timestamp; these
// commands log nothing else and run nothing.
TEST_F(DispatcherTest, UnrecognisedCommandsAndFirewallQueriesLogOnlyTheStartLine) {
  for (int32_t command : {4, 0, 11, -1, 0x7FFFFFFF, 5, 6}) {  // 5 and 6: the firewall queries
    encodeCommandOnly(packet_.get(), command);
    std::memset(packet_->bytes + 4, 0x31, 100);  // the payload is not looked at
    EXPECT_EQ(dispatch(), command == 5 || command == 6 ? kOneReply : kZeroReply) << command;
    const std::string start = "Receive command: " + std::to_string(command) + "\n";
    EXPECT_TRUE(out_.starts_with(start) && out_.ends_with(" - " + start)) << out_;
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 2) << out_;
  }
  EXPECT_TRUE(runner_.commands().empty() && fwRunner_.commands().empty() && tzRunner_.commands().empty());
}

TEST_F(DispatcherTest, FirewallOnAndChangeHandTheOptionsOn) {
  firewallPacket(AA_COMMAND_FIREWALL_ON, {"10.0.0.1;10.0.0.2", "tun0", true, false, true, true, true});
  EXPECT_EQ(dispatch(), kOneReply);
  // The settings line follows the firewall's own lines.
  const size_t settings = out_.find(" - AA_COMMAND_FIREWALL_ON | Kill connect = true |");
  EXPECT_TRUE(settings != std::string::npos && settings > out_.find("firewallOn: tun0")) << out_;
  EXPECT_TRUE(firewall_->killSwitchOn() && firewall_->localDevicesAllowed() && firewall_->dnsBlocked());
  EXPECT_FALSE(firewall_->ipv6Blocked());

  firewallPacket(AA_COMMAND_FIREWALL_CHANGE, {"10.0.0.1", "tun1", true, true, false, false, false});
  EXPECT_EQ(dispatch(), kOneReply);
  const size_t ran = fwRunner_.commands().size();
  EXPECT_TRUE(firewall_->ipv6Blocked() && !firewall_->localDevicesAllowed());
  EXPECT_EQ(firewall_->interfaceToSkipName(), "tun1");
  // A refused request answers 0 and changes nothing.
  firewallPacket(AA_COMMAND_FIREWALL_CHANGE, {"10.0.0.1", "tun1; rm -rf /", false, false, true, false, false});
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_THAT(out_, HasSubstr(" - AA_COMMAND_FIREWALL_CHANGE refused: the interface name is not valid\n"));
  EXPECT_TRUE(firewall_->killSwitchOn() && firewall_->ipv6Blocked() && !firewall_->localDevicesAllowed());
  EXPECT_EQ(fwRunner_.commands().size(), ran);
}

// The argument text becomes openvpn's words, never a shell's input; text that
// cannot be split or converted is refused, and a failed start is reported.
TEST_F(DispatcherTest, OpenvpnStartsWithoutAShell) {
  // Open quotes, a lone trailing backslash, units that are no characters, and
  // 512 characters that need 1024 bytes (1023 is the most).
  const std::vector<std::u32string> refused = {U"--config \"$(id)", U"--config 'a; b", U"a.ovpn `id` \\",
                                               std::u32string(U"a") + char32_t{0x110000},
                                               std::u32string(U"a") + char32_t{0xD800}, std::u32string(512, U'\u00e9')};
  for (const std::u32string& args : refused) {
    ASSERT_TRUE(encodeOpenvpnArguments(packet_.get(), args));
    EXPECT_EQ(dispatch(), kZeroReply) << args.size();
    EXPECT_THAT(out_, AllOf(HasSubstr("AA_COMMAND_OPENVPN_START refused: "), Not(HasSubstr("execite openvpn cmd"))));
  }
  ASSERT_TRUE(encodeOpenvpnArguments(packet_.get(), U"--config \"/home/u/my vpn.ovpn\" --verb 3"));
  EXPECT_EQ(dispatch(), kOneReply);
  EXPECT_EQ(runner_.detachedArgv(),
            (std::vector<std::vector<std::string>>{{"openvpn", "--config", "/home/u/my vpn.ovpn", "--verb", "3"}}));
  const std::string line = "execite openvpn cmd: openvpn --config \"/home/u/my vpn.ovpn\" --verb 3 > /dev/null &\n";
  EXPECT_THAT(out_, HasSubstr("\n" + line));  // printed bare, then logged
  EXPECT_TRUE(out_.ends_with(" - " + line)) << out_;

  runner_.setStartDetachedResult(false);
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_THAT(out_, HasSubstr("AA_COMMAND_OPENVPN_START failed"));
}

TEST_F(DispatcherTest, InstallUpdateHandsTheConvertedPathToTheHook) {
  ASSERT_TRUE(encodePackagePath(packet_.get(), U"/home/u/fox \u00e9.deb"));
  EXPECT_EQ(dispatch(), kZeroReply);  // no hook: not available in this build
  EXPECT_THAT(out_, HasSubstr("AA_COMMAND_INSTALL_UPDATE is not available"));

  std::vector<std::string> paths;
  bool hookResult = true;
  services_->installUpdate = [&](const std::string& path) { paths.push_back(path); return hookResult; };
  EXPECT_EQ(dispatch(), kOneReply);
  hookResult = false;  // a job that did not start is no success
  EXPECT_EQ(dispatch(), kZeroReply);
  for (const std::u32string& bad : {std::u32string(U"/tmp/a") + char32_t{0xD800}, std::u32string(512, U'a')}) {
    ASSERT_TRUE(encodePackagePath(packet_.get(), bad));
    EXPECT_EQ(dispatch(), kZeroReply);
    EXPECT_THAT(out_, HasSubstr("AA_COMMAND_INSTALL_UPDATE refused: "));
  }
  ASSERT_TRUE(encodePackagePath(packet_.get(), std::u32string(511, U'a')));  // the longest that fits
  dispatch();
  EXPECT_EQ(paths, (std::vector<std::string>{"/home/u/fox \xc3\xa9.deb", "/home/u/fox \xc3\xa9.deb",
                                             std::string(511, 'a')}));
}

// Requests from several threads at once are all served, and the timezone
// worker still runs timedatectl one command at a time.
TEST_F(DispatcherTest, ConcurrentRequestsAreServedSafely) {
  std::atomic<int> inFlight{0}, overlaps{0};
  tzRunner_.setHook([&](const std::string&) {
    if (inFlight.fetch_add(1) != 0) overlaps.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    inFlight.fetch_sub(1);
    return 0;
  });
  std::vector<MessagePacket> packets(5);
  encodeTimezoneRequest(&packets[0], {false, "Asia/Tokyo"});
  encodeTimezoneRequest(&packets[1], {true, ""});
  encodeOpenvpnArguments(&packets[2], U"--config a.ovpn");
  encodeFirewallRequest(&packets[3], AA_COMMAND_FIREWALL_CHANGE, {"10.0.0.1", "tun0", true, false, false, false, true});
  encodeCommandOnly(&packets[4], AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED);
  ::testing::internal::CaptureStdout();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        if (processMessagePacket(packets[(t + i) % 5], *services_).result != 1) failures.fetch_add(1);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  firewall_->waitIdle();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(runner_.detachedArgv().size(), 20u);
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GE(tzRunner_.commands().size(), 20u);  // every change ran
}

// Without a default timezone the worker is unsupported: command 7 logs its
// line and answers 0, and command 8 answers 0 for a change and for a restore
// without running anything.
TEST_F(DispatcherTest, TimezoneCommandsAnswerZeroWithoutADefaultTimezone) {
  std::filesystem::remove(tzFiles_.timezoneList);
  timezone_ = std::make_unique<TimezoneWorker>(tzFiles_, tzRunner_);
  services_ = std::make_unique<DaemonServices>(DaemonServices{*firewall_, *timezone_, runner_, {}});
  encodeCommandOnly(packet_.get(), 7);
  EXPECT_EQ(dispatch(), kZeroReply);
  EXPECT_THAT(out_, HasSubstr(" - AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED"));
  for (bool restore : {false, true}) {
    ASSERT_TRUE(encodeTimezoneRequest(packet_.get(), TimezoneRequest{restore, "Asia/Tokyo"}));
    EXPECT_EQ(dispatch(), kZeroReply) << restore;
  }
  EXPECT_TRUE(tzRunner_.commands().empty());
}
