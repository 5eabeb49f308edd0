#include "base/log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cstdio>
#include <regex>

#include "spine_test_support.h"

TEST(WriteLogTest, MessageIsPrintedUnchangedAfterTheTimestamp) {
  const int oldMask = setlogmask(LOG_MASK(LOG_EMERG));  // keep the host's system log clean
  ScopedTempDir dir;
  std::fflush(stdout);
  const std::string out = captureFd(STDOUT_FILENO, dir.file("stdout"), [] {
    WriteLog("[MONITOR] Signal %s%d %n\n");  // not a format
    WriteLog("no newline");
    std::fflush(stdout);
  });
  setlogmask(oldMask);
  const std::string line = R"(\d{4}-\d{2}-\d{2}\.\d{2}:\d{2}:\d{2} - )";
  EXPECT_TRUE(std::regex_match(out, std::regex(line + R"(\[MONITOR\] Signal %s%d %n\n)" + line + "no newline")))
      << out;
}

TEST(WriteLogTest, ControlBytesInClientTextCannotStartALineOfTheirOwn) {
  EXPECT_EQ(escapeControlBytes("Europe/Berlin"), "Europe/Berlin");
  EXPECT_EQ(escapeControlBytes("a\nDaemon exiting\r\x7f\x01 \xc3\xa9\\"), "a\\x0aDaemon exiting\\x0d\\x7f\\x01 \xc3\xa9\\");
}

TEST(WriteLogTest, FlushesCanBeTurnedOffOnceNobodyReadsStandardOutput) {
  ScopedTempDir dir;
  std::fflush(stdout);
  std::string late;
  const std::string out = captureFd(STDOUT_FILENO, dir.file("stdout"), [&] {
    setStdoutFlushes(false);
    progress("held back");
    late = readWholeFile(dir.file("stdout"));
    setStdoutFlushes(true);
    progress("");
  });
  EXPECT_EQ(late, "");
  EXPECT_EQ(out, "held back");
}
