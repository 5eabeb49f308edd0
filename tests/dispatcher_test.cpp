// Requests from several threads at once over fake runners, where
// ThreadSanitizer can watch them; what each command does is shown with the
// real daemon in integration/requests_itest.cpp.
#include "control/dispatcher.h"

#include <fstream>

#include "fake_command_runner.h"
#include "firewall/firewall.h"
#include "spine_test_support.h"
#include "timezone/timezone_worker.h"

// All are served, and the timezone worker still runs timedatectl one command
// at a time.
TEST(DispatcherTest, ConcurrentRequestsAreServedSafely) {
  ScopedTempDir dir;
  const TimezoneFiles tzFiles{dir.file("timezone"), dir.file("clock"), dir.file("TIMEZONE")};
  std::ofstream(tzFiles.timezoneList) << "Europe/Berlin\n";
  std::atomic<int> inFlight{0}, overlaps{0}, failures{0};  // before the worker, whose end runs timedatectl
  FakeCommandRunner fwRunner, tzRunner, runner;
  FireWall firewall(dir.file("fw"), fwRunner);
  TimezoneWorker worker(tzFiles, tzRunner);
  DaemonServices services{firewall, worker, runner, {}};
  const PeerOwner kRoot{true, 0, 1, {}};
  tzRunner.hook = [&](const std::string&) {
    overlaps += inFlight++ != 0;
    std::this_thread::sleep_for(200us);
    --inFlight;
    return 0;
  };
  std::vector<MessagePacket> packets(5);
  encodeTimezoneRequest(&packets[0], {false, "Asia/Tokyo"});
  encodeTimezoneRequest(&packets[1], {true, ""});
  encodeOpenvpnArguments(&packets[2], U"--config a.ovpn");
  encodeFirewallRequest(&packets[3], AA_COMMAND_FIREWALL_CHANGE, {"10.0.0.1", "tun0", true, false, false, false, true});
  encodeCommandOnly(&packets[4], AA_COMMAND_TIMEZONE_CHANGE_SUPPORTED);
  ::testing::internal::CaptureStdout();
  std::vector<std::jthread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) failures += processMessagePacket(packets[(t + i) % 5], services, kRoot).result != 1;
    });
  threads.clear();  // joins them
  firewall.waitIdle();
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(runner.commands().size(), 20u);  // openvpn's starts
  EXPECT_EQ(overlaps.load(), 0);
  EXPECT_GE(tzRunner.commands().size(), 20u);  // every change ran
  runner.startDetachedResult = false;  // a VPN process that did not start is no success
  EXPECT_EQ(processMessagePacket(packets[2], services, kRoot).result, 0);
}
