#include "daemon/safe_syslog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <cstring>
#include <ctime>

#include "daemon/unique_fd.h"
#include "spine_test_support.h"

TEST(SafeSyslogTest, DatagramHasSyslogHeaderAndIsCutToTheBuffer) {
  char buf[1024];
  auto format = [&buf](int priority, const char* when, const char* text, size_t size = sizeof buf) {
    struct tm t {};
    strptime(when, "%Y-%m-%d %H:%M:%S", &t);
    size_t n = formatSyslogDatagram(buf, size, priority, timegm(&t), "tundrafoxd", text);
    return n == std::strlen(buf) ? std::string(buf, n) : "not NUL-terminated";
  };
  EXPECT_EQ(format(LOG_WARNING, "2026-12-06 21:16:09", "Received SIGHUP signal."),
            "<12>Dec  6 21:16:09 tundrafoxd: Received SIGHUP signal.");
  EXPECT_EQ(format(LOG_INFO, "2024-02-29 00:00:00", "[DAEMON] Stopped\n"),
            "<14>Feb 29 00:00:00 tundrafoxd: [DAEMON] Stopped\n");
  EXPECT_EQ(format(LOG_INFO, "2000-01-01 00:00:00", std::string(5000, 'z').c_str(), 64).size(), 63u);
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
  const time_t before = time(nullptr);
  const std::string err =
      captureFd(STDERR_FILENO, dir.file("stderr"), [] { safeSyslog(LOG_WARNING, "Received SIGTERM signal."); });
  const time_t after = time(nullptr);
  safeSyslogSetSocketPath("/dev/log");

  EXPECT_EQ(err, "tundrafoxd: Received SIGTERM signal.\n");
  char buf[2048];
  ssize_t n = ::recv(server.get(), buf, sizeof buf, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  const std::string got(buf, static_cast<size_t>(n));
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
