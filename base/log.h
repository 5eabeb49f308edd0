// The daemon's outputs, one seam for all of them:
//   "progress" lines go to standard output (standard error for the few error
//   lines), which shows them when the daemon runs in a terminal and is
//   /dev/null once it has detached;
//   "info" lines go to the system log, where an administrator reads them.
// WriteLog writes one timestamped line to both. Only the crash and signal
// handlers bypass this seam, through the async-signal-safe safeSyslog.
// Every function here may be called from any number of threads at once; each
// call's text comes out whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Printed before and after the echo of every script the daemon writes.
inline constexpr std::string_view kBanner = "****************\n";

// Writes `text` as it is (callers include the newline) to standard output.
void progress(std::string_view text);
// printf-style progress().
void progressf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes `text` as it is to standard error.
void progressError(std::string_view text);
// The banner, `scriptText` and the banner again, as one progress write.
void progressScript(std::string_view scriptText);

// Sends `line` to the system log at LOG_INFO (or `priority`), as
// syslog(priority, "%s", line) would, without syslog(3)'s process-wide lock
// once the daemon has detached (see syslogLine). A line longer than
// kMaxLogLineBytes is cut (see shortenLogLine) rather than lost: the log
// socket may refuse or truncate a datagram that large.
void logInfo(std::string_view line);
void logAt(int priority, std::string_view line);
// The longest line sent to the system log as it is.
inline constexpr size_t kMaxLogLineBytes = 4000;

// `line` when it has at most kMaxLogLineBytes, else its first bytes (never
// half a UTF-8 character) followed by "...[cut: N bytes in all]" (and the
// line's final newline, if it had one), within kMaxLogLineBytes.
std::string shortenLogLine(std::string_view line);

// printf-style logInfo().
void logInfof(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes "<local time as %Y-%m-%d.%X> - <message>" to standard output and
// the same line to the system log at LOG_INFO. `message` is written as it
// is (it is not a format); callers that need a newline include it.
void WriteLog(const char* message);

// Turns the flush after each progress write on (the default) or off. The
// detached daemon turns it off once its standard output is /dev/null: there
// a flush shows nothing to anyone, yet costs a system call made while
// holding stdio's lock, and the connection threads then queue on that lock.
void setStdoutFlushes(bool on);

// Formats the current local time as "%Y-%m-%d.%X" into `buf` (thread-safe).
// Returns `buf`.
char* formatLocalTimestamp(char* buf, unsigned long size);

// `text` with every control byte (below 0x20, and 0x7f) written as \xNN, so
// that client text placed in a log line cannot end it and forge lines of its
// own. Everything else, UTF-8 included, is kept as it is.
std::string escapeControlBytes(std::string_view text);
