#include "control/socket_io.h"

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

namespace {

void setTimeout(int fd, int option, int seconds) {
  struct timeval tv;
  tv.tv_sec = seconds;
  tv.tv_usec = 0;
  ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

int socketRecvAll(int fd, void* buf, int len, int timeoutSeconds) {
  if (len == 0) return 0;
  if (len < 0) {
    errno = EINVAL;
    return -1;
  }
  char* p = static_cast<char*>(buf);
  int total = 0;
  for (;;) {
    setTimeout(fd, SO_RCVTIMEO, timeoutSeconds);
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
