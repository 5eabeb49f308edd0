// Timezone names that are not zone names, and a change made by a worker that
// was killed: the real daemon with the recording timedatectl stub.
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "support/daemon_fixture.h"

using namespace itest;

namespace {

std::optional<std::array<unsigned char, kMessageReplySize>> sendTimezone(bool restore, const std::string& name) {
  MessagePacket packet{};
  EXPECT_TRUE(encodeTimezoneRequest(&packet, {restore, name}));
  return exchangeRecord(packet);
}
bool answered(bool restore, const std::string& name, unsigned char result) {
  auto reply = sendTimezone(restore, name);
  return reply && (*reply)[0] == result;
}

}  // namespace

TEST_F(DaemonTest, TimezoneNamesMustBeZoneNamesAndAKilledWorkersChangeIsPutBack) {
  for (const char* file : {"/etc/sysconfig/clock", "/etc/TIMEZONE"}) ::unlink(file);
  std::ofstream("/etc/timezone") << "Europe/Oslo\n";
  ASSERT_TRUE(startDaemon());
  for (const char* name : {"-h", "--help", "-Europe/Oslo", "/Europe/Oslo", "Europe//Oslo", "Europe/", "1Europe",
                           "Europe/./Oslo", "Europe/../Oslo", "_x", "+x"})
    EXPECT_TRUE(answered(false, name, 0)) << name;
  for (const char* name : {"UTC", "Etc/GMT+5", "America/Port-au-Prince", "America/Argentina/Buenos_Aires"})
    EXPECT_TRUE(answered(false, name, 1)) << name;
  EXPECT_EQ(stubCalls().size(), 4u) << "only the zone names reached timedatectl";

  // The change outlives the worker that made it: the next worker's restore,
  // crash clean-up and stop each put the default back.
  const std::string oslo = "timedatectl [set-timezone] [Europe/Oslo]";
  size_t calls = 4, resets = 1;
  for (const std::string how : {"restore", "crash", "stop"}) {
    EXPECT_TRUE(answered(false, "Asia/Tokyo", 1));
    ASSERT_EQ(::kill(workerPid(), SIGKILL), 0);
    ASSERT_TRUE(waitForLogCount("firewallImpl.reset();", ++resets, 10000) && waitForControlPort());
    const bool done = how == "restore" ? answered(true, "", 1)
                      : how == "crash" ? ::kill(workerPid(), SIGSEGV) == 0 && ++resets
                                       : stopDaemon();
    EXPECT_TRUE(done) << how;
    calls += 2;
    EXPECT_TRUE(waitUntil([&] { return stubCalls().size() == calls && stubCalls().back() == oslo; })) << how;
    EXPECT_TRUE(how != "crash" || waitForLogCount("firewallImpl.reset();", resets, 10000));
  }
}
