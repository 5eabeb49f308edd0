#include "daemon/log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

#include "spine_test_support.h"

namespace {

// WriteLog also sends each line to the system log; keep the host's log
// clean by masking LOG_INFO out while the tests run.
class WriteLogTest : public ::testing::Test {
 protected:
  void SetUp() override { oldMask_ = setlogmask(LOG_MASK(LOG_EMERG)); }
  void TearDown() override { setlogmask(oldMask_); }

  std::string capture(const char* message) {
    std::fflush(stdout);
    ScopedFdCapture out(STDOUT_FILENO, dir_.file("stdout"));
    WriteLog(message);
    std::fflush(stdout);
    return out.finish();
  }

  ScopedTempDir dir_;
  int oldMask_ = 0;
};

const char kStamp[] = R"(\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2} - )";

}  // namespace

TEST_F(WriteLogTest, PercentSequencesArePrintedUnchanged) {
  std::string out = capture("[MONITOR] Signal %s %d %n\n");
  EXPECT_TRUE(std::regex_match(out, std::regex(std::string("^") + kStamp + R"(\[MONITOR\] Signal %s %d %n\n$)")))
      << out;
}

TEST_F(WriteLogTest, NoNewlineIsAdded) {
  std::string out = capture("no newline");
  EXPECT_TRUE(std::regex_match(out, std::regex(std::string("^") + kStamp + "no newline$"))) << out;
}

TEST(FormatLocalTimestampTest, ConcurrentCallsEachGetWholeTimestamps) {
  std::vector<std::thread> threads;
  std::atomic<int> bad{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        char buf[512];
        if (!std::regex_match(formatLocalTimestamp(buf, sizeof buf),
                              std::regex(R"(\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2})"))) {
          ++bad;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
}
