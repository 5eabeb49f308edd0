#include "support/daemon_fixture.h"

using namespace itest;

TEST_F(DaemonTest, Smoke) {
  std::string why;
  ASSERT_TRUE(startDaemon(&why)) << why;
  auto reply = exchangeRecord(makePacket(0));
  ASSERT_TRUE(reply.has_value());
  EXPECT_TRUE(waitForLog("[WORK PROC] Started"));
  EXPECT_GT(workerPid(), 0);
  EXPECT_TRUE(stopDaemon());
}
