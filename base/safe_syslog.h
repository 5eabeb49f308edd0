// Logging without syslog(3)'s lock: from signal handlers, and from the
// threads that serve requests.
//
// syslog(3) takes locks and allocates, so a handler that interrupts a log
// call in the same thread could deadlock in it. The safeSyslog functions
// only use async-signal-safe system calls (clock_gettime, socket, sendto,
// write, close): no malloc, no stdio, no localtime.
//
// syslog(3) also holds one process-wide lock while it formats a line and
// sends it. With a thread per connection on a busy machine, a thread that
// loses its CPU while holding that lock stalls every other connection at
// its next log line. syslogLine sends the same datagram with no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Builds a line in a caller's fixed buffer: no allocation, usable in a signal
// handler. Text that does not fit is cut; the buffer always holds a
// terminated string.
class FixedLine {
 public:
  FixedLine(char* buf, size_t size) : buf_(buf), size_(size) { terminate(); }
  void add(const char* s, size_t n);
  void add(const char* s);
  void addChar(char c) { add(&c, 1); }
  // Unsigned decimal, at least `width` digits, padded with `pad`.
  void addNumber(unsigned long v, int width = 1, char pad = '0');
  // 16 upper-case hexadecimal digits, zero-filled.
  void addHex16(uint64_t v);
  const char* c_str() const { return buf_; }
  size_t size() const { return len_; }

 private:
  void terminate() {
    if (size_ > 0) buf_[len_] = '\0';
  }
  char* buf_;
  size_t size_;
  size_t len_ = 0;
};

// Takes what the async path needs from the non-async world: the identity
// that starts every line and the offset of local time from UTC (read once
// here, so a change of daylight-saving time after this call is not seen).
// Call from ordinary code, before installing handlers that log through
// safeSyslog; calling it again refreshes the offset. `ident` is copied
// (truncated to 63 bytes).
void safeSyslogInit(const char* ident);

// Sends "<PRI>Mmm dd hh:mm:ss ident: text" as one datagram to the system
// log socket and "ident: text" plus a newline to standard error (the daemon
// opens its log with LOG_PERROR). PRI is LOG_USER | `priority`. Texts longer
// than about 900 bytes are cut. Failures are ignored. Async-signal-safe.
void safeSyslog(int priority, const char* text);

// Formats the datagram that safeSyslog sends for `text` logged at
// `priority` at the local time `localSeconds` (seconds since the epoch,
// already shifted by the UTC offset) into `buf`. Returns the length
// (without a terminating NUL, which is written when there is room).
// Async-signal-safe.
size_t formatSyslogDatagram(char* buf, size_t size, int priority, time_t localSeconds,
                            const char* ident, const char* text);

// The socket the lines go to, "/dev/log" unless changed. For tests only:
// `path` must stay valid; call before logging from any other thread.
void safeSyslogSetSocketPath(const char* path);

// Opens the datagram socket that syslogLine sends on. Until it is open (and
// after syslogLineClose), syslogLine hands every line to syslog(3). Call it
// where the log needs no standard-error copy, i.e. once the daemon has
// detached, after openlog. The socket is close-on-exec, shared by this
// process's threads and by the children it forks. Opening it twice keeps
// the first socket.
void syslogLineOpen();

// Closes syslogLine's socket. Call while no other thread can log, before
// closing descriptors wholesale (as before closelog(3)).
void syslogLineClose();

// Logs `text` as syslog(priority, "%s", text) would for a log opened with
// safeSyslogInit's ident, facility LOG_USER and no LOG_PID: the datagram
// "<PRI>Mmm dd hh:mm:ss ident: text" in the current local time, sent to the
// system log socket. The log mask is not consulted. A line too long for
// its 4 KiB buffer, a closed socket, or a send that fails even after
// connecting again (no log socket) sends the line through syslog(3)
// instead, which falls back to the console as usual. A log daemon that
// restarted is found again by that second connect. Thread-safe.
void syslogLine(int priority, const char* text);
