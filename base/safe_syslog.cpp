#include "base/safe_syslog.h"

#include "base/io.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace {

// Written by safeSyslogInit (ordinary code), read by handlers: atomics, so a
// handler on another thread never sees a torn value.
std::atomic<long> gUtcOffset{0};
char gIdent[64] = "tundrafoxd";
std::atomic<const char*> gSocketPath{"/dev/log"};
// syslogLine's socket, -1 while closed. Connected to the log socket, as
// syslog(3)'s own is (a send that names the path costs twice as much).
std::atomic<int> gLineFd{-1};

const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void civilFromDays(long days, long* year, unsigned* month, unsigned* day) {
  days += 719468;
  const long era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *day = doy - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<long>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

// The system log socket's address. False when its path does not fit.
bool logAddress(struct sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const char* path = gSocketPath.load();
  const size_t plen = std::strlen(path);
  if (plen >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path, plen);
  return true;
}

// Sends one datagram to the system log socket over `fd`, naming the socket
// when `addressed` (else `fd` must be connected to it). True when sent.
bool sendDatagram(int fd, const char* data, size_t len, bool addressed) {
  struct sockaddr_un addr;
  if (addressed && !logAddress(&addr)) return false;
  ssize_t r;
  do {
    r = addressed ? ::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr)
                  : ::send(fd, data, len, MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  return r == static_cast<ssize_t>(len);
}

// (Re)connects `fd` to the system log socket. Threads may do this at the
// same time: connecting a datagram socket only sets where it sends.
bool connectToLog(int fd) {
  struct sockaddr_un addr;
  return logAddress(&addr) && ::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

void FixedLine::add(const char* s, size_t n) {
  for (size_t i = 0; i < n && len_ + 1 < size_; ++i) buf_[len_++] = s[i];
  terminate();
}

void FixedLine::add(const char* s) { add(s, std::strlen(s)); }

void FixedLine::addNumber(unsigned long v, int width, char pad) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && n < 24);
  for (int i = n; i < width; ++i) addChar(pad);
  while (n > 0) addChar(digits[--n]);
}

void FixedLine::addHex16(uint64_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  char digits[16];
  for (int i = 15; i >= 0; --i) {
    digits[i] = kDigits[v & 0xF];
    v >>= 4;
  }
  add(digits, 16);
}

void safeSyslogInit(const char* ident) {
  size_t n = std::strlen(ident);
  if (n >= sizeof gIdent) n = sizeof gIdent - 1;
  std::memcpy(gIdent, ident, n);
  gIdent[n] = '\0';
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_r(&now, &local) != nullptr) gUtcOffset.store(local.tm_gmtoff);
}

void safeSyslogSetSocketPath(const char* path) { gSocketPath.store(path); }

size_t formatSyslogDatagram(char* buf, size_t size, int priority, time_t localSeconds,
                            const char* ident, const char* text) {
  FixedLine a(buf, size);
  long days = static_cast<long>(localSeconds / 86400);
  long secs = static_cast<long>(localSeconds % 86400);
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  long year;
  unsigned month, day;
  civilFromDays(days, &year, &month, &day);

  a.addChar('<');
  a.addNumber(static_cast<unsigned long>(LOG_MAKEPRI(LOG_USER, LOG_PRI(priority))), 1, '0');
  a.addChar('>');
  a.add(kMonths[month - 1]);
  a.addChar(' ');
  a.addNumber(day, 2, ' ');
  a.addChar(' ');
  a.addNumber(static_cast<unsigned long>(secs / 3600), 2, '0');
  a.addChar(':');
  a.addNumber(static_cast<unsigned long>(secs / 60 % 60), 2, '0');
  a.addChar(':');
  a.addNumber(static_cast<unsigned long>(secs % 60), 2, '0');
  a.addChar(' ');
  a.add(ident);
  a.add(": ");
  a.add(text);
  return a.size();
}

void safeSyslog(int priority, const char* text) {
  const int savedErrno = errno;  // a handler must leave errno as it found it
  struct timespec ts;
  time_t now = 0;
  if (clock_gettime(CLOCK_REALTIME, &ts) == 0) now = ts.tv_sec;

  char line[1024];
  size_t len = formatSyslogDatagram(line, sizeof line, priority, now + gUtcOffset.load(), gIdent, text);

  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sendDatagram(fd, line, len, true);
    ::close(fd);
  }

  // The standard-error copy, as LOG_PERROR gives it: "ident: text\n".
  char copy[1024];
  FixedLine e(copy, sizeof copy);
  e.add(gIdent);
  e.add(": ");
  e.add(text);
  size_t n = e.size();
  if (n == 0 || copy[n - 1] != '\n') e.addChar('\n');
  writeFull(STDERR_FILENO, copy, e.size());
  errno = savedErrno;
}

void syslogLineOpen() {
  if (gLineFd.load() >= 0) return;
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  // Not connected yet (no log socket): the first line tries again.
  connectToLog(fd);
  int expected = -1;
  if (!gLineFd.compare_exchange_strong(expected, fd)) ::close(fd);
}

void syslogLineClose() {
  const int fd = gLineFd.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void syslogLine(int priority, const char* text) {
  const int fd = gLineFd.load();
  if (fd >= 0) {
    const time_t now = time(nullptr);
    struct tm local;
    if (localtime_r(&now, &local) != nullptr) {
      char line[4096];
      const size_t len =
          formatSyslogDatagram(line, sizeof line, priority, now + local.tm_gmtoff, gIdent, text);
      // A line that filled the buffer may have been cut: syslog(3) sends it
      // whole. A failed send may mean the log daemon restarted, which
      // leaves the old connection refused: connect again once.
      if (len + 1 < sizeof line &&
          (sendDatagram(fd, line, len, false) || (connectToLog(fd) && sendDatagram(fd, line, len, false)))) {
        return;
      }
    }
  }
  syslog(priority, "%s", text);
}
