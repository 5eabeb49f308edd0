#include "control/socket_io.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

namespace {

void setTimeout(int fd, int option, std::chrono::microseconds wait) {
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(wait.count() / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(wait.count() % 1000000);
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

void setTimeout(int fd, int option, int seconds) { setTimeout(fd, option, std::chrono::seconds(seconds)); }

}  // namespace

int socketRecvAll(int fd, void* buf, int len, int timeoutSeconds) {
  return socketRecvAll(fd, buf, len, timeoutSeconds, std::chrono::steady_clock::time_point::max());
}

int socketRecvAll(int fd, void* buf, int len, int timeoutSeconds, std::chrono::steady_clock::time_point deadline) {
  using std::chrono::microseconds;
  if (len == 0) return 0;
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  char* p = static_cast<char*>(buf);
  int total = 0;
  for (;;) {
    microseconds wait = std::chrono::seconds(timeoutSeconds);
    if (deadline != std::chrono::steady_clock::time_point::max()) {
      // Rounded up: a time-out of 0 would mean no time-out at all.
      const auto left = std::chrono::ceil<microseconds>(deadline - std::chrono::steady_clock::now());
      if (left <= microseconds::zero()) {
        errno = ETIMEDOUT;
        return -1;
      }
      wait = std::min(wait, left);
    }
    setTimeout(fd, SO_RCVTIMEO, wait);
    ssize_t n = ::recv(fd, p + total, static_cast<size_t>(len - total), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = 0;  // the peer closed: no system error to report
    if (n <= 0) return -1;
    total += static_cast<int>(n);
    if (total == len) return total;
  }
}

int socketSendAll(int fd, const void* buf, int len, int timeoutSeconds) {
  if (len <= 0) return 0;
  const char* p = static_cast<const char*>(buf);
  int total = 0;
  for (;;) {
    setTimeout(fd, SO_SNDTIMEO, timeoutSeconds);
    // MSG_NOSIGNAL: a reset peer must fail this call, not end the process.
    ssize_t n = ::send(fd, p + total, static_cast<size_t>(len - total), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    total += static_cast<int>(n);
    if (total >= len) return total;
  }
}
