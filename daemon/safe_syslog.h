// Logging from signal handlers.
//
// syslog(3) takes locks and allocates, so a handler that interrupts a log
// call in the same thread could deadlock in it. These functions only use
// async-signal-safe system calls (clock_gettime, socket, sendto, write,
// close): no malloc, no stdio, no localtime.
#pragma once

#include <cstddef>
#include <ctime>

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
