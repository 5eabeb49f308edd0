#include "daemon/safe_syslog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <cstring>
#include <ctime>
#include <regex>

#include "daemon/unique_fd.h"
#include "spine_test_support.h"

namespace {

time_t utcSeconds(int year, int month, int day, int hour, int min, int sec) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = min;
  t.tm_sec = sec;
  return timegm(&t);
}

std::string format(int priority, time_t when, const char* text) {
  char buf[1024];
  size_t n = formatSyslogDatagram(buf, sizeof buf, priority, when, "tundrafoxd", text);
  EXPECT_EQ(n, std::strlen(buf));
  return std::string(buf, n);
}

}  // namespace

TEST(SafeSyslogTest, DatagramHasRfc3164Header) {
  EXPECT_EQ(format(LOG_WARNING, utcSeconds(2026, 12, 6, 21, 16, 9), "Received SIGHUP signal."),
            "<12>Dec  6 21:16:09 tundrafoxd: Received SIGHUP signal.");
  EXPECT_EQ(format(LOG_INFO, utcSeconds(2024, 2, 29, 0, 0, 0), "[DAEMON] Stopped\n"),
            "<14>Feb 29 00:00:00 tundrafoxd: [DAEMON] Stopped\n");
  EXPECT_EQ(format(LOG_INFO, utcSeconds(1999, 12, 31, 23, 59, 59), "x"), "<14>Dec 31 23:59:59 tundrafoxd: x");
  EXPECT_EQ(format(LOG_INFO, utcSeconds(2100, 3, 1, 12, 0, 0), "x"), "<14>Mar  1 12:00:00 tundrafoxd: x");
}

TEST(SafeSyslogTest, LongTextIsCutToTheBuffer) {
  std::string text(5000, 'z');
  char buf[64];
  size_t n = formatSyslogDatagram(buf, sizeof buf, LOG_INFO, 0, "tundrafoxd", text.c_str());
  EXPECT_EQ(n, 63u);
  EXPECT_EQ(buf[63], '\0');
}

TEST(SafeSyslogTest, SendsDatagramInLocalTimeAndCopiesToStderr) {
  ScopedTempDir dir;
  const std::string sockPath = dir.file("log");
  UniqueFd server(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, sockPath.c_str(), sockPath.size());
  ASSERT_EQ(::bind(server.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);

  safeSyslogInit("tundrafoxd");
  safeSyslogSetSocketPath(sockPath.c_str());
  time_t before = time(nullptr);
  std::string err;
  {
    ScopedFdCapture capture(STDERR_FILENO, dir.file("stderr"));
    safeSyslog(LOG_WARNING, "Received SIGTERM signal.");
    err = capture.finish();
  }
  time_t after = time(nullptr);
  safeSyslogSetSocketPath("/dev/log");

  EXPECT_EQ(err, "tundrafoxd: Received SIGTERM signal.\n");
  char buf[2048];
  ssize_t n = ::recv(server.get(), buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  std::string got(buf, static_cast<size_t>(n));
  // The same header glibc's syslog would write at this moment.
  bool matched = false;
  for (time_t t = before; t <= after && !matched; ++t) {
    struct tm local;
    localtime_r(&t, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    matched = got == std::string("<12>") + stamp + " tundrafoxd: Received SIGTERM signal.";
  }
  EXPECT_TRUE(matched) << got;
}
