#include "base/safe_syslog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <algorithm>
#include <map>

#include "base/unique_fd.h"
#include "spine_test_support.h"

TEST(SafeSyslogTest, DatagramHasTheCivilDateAndIsCutToTheBuffer) {
  char buf[128];
  for (auto [when, line] : {std::pair{"2026-12-06 21:16:09", "<14>Dec  6 21:16:09 tundrafoxd: x"},
                            {"2024-02-29 00:00:00", "<14>Feb 29 00:00:00 tundrafoxd: x"}}) {
    struct tm t {};
    strptime(when, "%Y-%m-%d %H:%M:%S", &t);
    formatSyslogDatagram(buf, sizeof buf, LOG_INFO, timegm(&t), "tundrafoxd", "x");
    EXPECT_STREQ(buf, line);
  }
  EXPECT_TRUE(formatSyslogDatagram(buf, 16, LOG_INFO, 0, "tundrafoxd", "x") == 15 && std::string(buf).size() == 15);
}

// A datagram socket bound at `path`, standing in for the system log; a receive waits 5 s at most.
static UniqueFd bindLogReceiver(const std::string& path) {
  UniqueFd server(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr {AF_UNIX, {}};
  path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ::unlink(path.c_str());
  struct timeval tv {5, 0};
  ::setsockopt(server.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  EXPECT_EQ(::bind(server.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  return server;
}
// The text after the header of the next datagram, "" when none came.
static std::string nextText(int fd) {
  char buf[8192];
  const std::string got(buf, static_cast<size_t>(std::max<ssize_t>(0, ::recv(fd, buf, sizeof buf, 0))));
  return got.starts_with("<14>") && got.find(" tundrafoxd: ") == 19 ? got.substr(32) : got;
}

TEST(SafeSyslogTest, ConcurrentLinesArriveWholeAndARestartedLogIsFoundAgain) {
  setlogmask(LOG_MASK(LOG_EMERG));  // a line that falls back to syslog(3) stays off the host's log
  ScopedTempDir dir;
  const std::string sockPath = dir.file("log");
  UniqueFd server = bindLogReceiver(sockPath);
  safeSyslogInit("tundrafoxd");
  safeSyslogSetSocketPath(sockPath.c_str());
  syslogLineOpen();
  std::vector<std::jthread> threads;
  for (char c = 'a'; c < 'a' + 16; ++c)
    threads.emplace_back([c] { for (int i = 0; i < 50; ++i) syslogLine(LOG_INFO, std::string(200, c).c_str()); });
  std::map<std::string, int> seen;  // drained while the senders block on the receiver's queue: none is lost
  for (int i = 0; i < 16 * 50; ++i) ++seen[nextText(server.get())];
  threads.clear();
  for (char c = 'a'; c < 'a' + 16; ++c) EXPECT_EQ(seen[std::string(200, c)], 50) << c;

  server = bindLogReceiver(sockPath);  // the log daemon restarts: a new socket at the same path
  syslogLine(LOG_INFO, "after restart");
  EXPECT_EQ(nextText(server.get()), "after restart");
  syslogLineClose();
  safeSyslogSetSocketPath("/dev/log");
}
