#include "base/safe_syslog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
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

namespace {

// A datagram socket bound at `path`, standing in for the system log.
UniqueFd bindLogReceiver(const std::string& path) {
  UniqueFd server(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  EXPECT_LT(path.size(), sizeof addr.sun_path);
  std::memcpy(addr.sun_path, path.c_str(), std::min(path.size(), sizeof addr.sun_path - 1));
  ::unlink(path.c_str());
  EXPECT_EQ(::bind(server.get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  struct timeval tv {5, 0};  // bounds every receive below
  ::setsockopt(server.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return server;
}

// The next datagram, or "" when none is waiting.
std::string nextDatagram(int fd, int flags = MSG_DONTWAIT) {
  char buf[8192];
  ssize_t n = ::recv(fd, buf, sizeof buf, flags);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// True when `got` is the datagram glibc's syslog would send for `text` at
// `priority` at some second from `before` to `after`.
bool isSyslogDatagram(const std::string& got, const std::string& pri, const std::string& text, time_t before,
                      time_t after) {
  for (time_t t = before; t <= after; ++t) {
    struct tm local;
    localtime_r(&t, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    if (got == "<" + pri + ">" + stamp + " tundrafoxd: " + text) return true;
  }
  return false;
}

}  // namespace

// The per-request lines: the same datagrams as syslog(3) would send, from
// many threads at once, found again after the log daemon restarts, and
// handed to syslog(3) while the socket is closed.
TEST(SafeSyslogTest, SyslogLineSendsWholeLinesWithoutSyslogsLock) {
  const int oldMask = setlogmask(LOG_MASK(LOG_EMERG));  // lines handed to syslog(3) stay off the host's log
  ScopedTempDir dir;
  const std::string sockPath = dir.file("log");
  UniqueFd server = bindLogReceiver(sockPath);
  safeSyslogInit("tundrafoxd");
  safeSyslogSetSocketPath(sockPath.c_str());

  syslogLine(LOG_INFO, "before open");
  EXPECT_EQ(nextDatagram(server.get()), "");

  syslogLineOpen();
  time_t before = time(nullptr);
  syslogLine(LOG_INFO, "close(client_sock);");
  EXPECT_TRUE(isSyslogDatagram(nextDatagram(server.get()), "14", "close(client_sock);", before, time(nullptr)));

  constexpr int kThreads = 16;
  constexpr int kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string text = "thread " + std::to_string(t) + " " + std::string(200, 'a' + t);
      for (int i = 0; i < kLines; ++i) syslogLine(LOG_INFO, text.c_str());
    });
  }
  std::map<std::string, int> seen;  // the receiver drains while the senders block on its queue
  for (int i = 0; i < kThreads * kLines; ++i) {
    const std::string got = nextDatagram(server.get(), 0);
    if (got.empty()) break;
    const size_t at = got.find(" tundrafoxd: ");
    ++seen[at == std::string::npos ? got : got.substr(at + 13)];
  }
  for (std::thread& t : threads) t.join();
  ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen["thread " + std::to_string(t) + " " + std::string(200, 'a' + t)], kLines);
  }

  // The log daemon restarts: a new socket at the same path.
  server.reset();
  server = bindLogReceiver(sockPath);
  before = time(nullptr);
  syslogLine(LOG_INFO, "after restart");
  EXPECT_TRUE(isSyslogDatagram(nextDatagram(server.get()), "14", "after restart", before, time(nullptr)));

  syslogLineClose();
  syslogLine(LOG_INFO, "after close");
  EXPECT_EQ(nextDatagram(server.get()), "");
  safeSyslogSetSocketPath("/dev/log");
  setlogmask(oldMask);
}
