// The daemon's timestamped log line.
#pragma once

#include <string>
#include <string_view>

// Writes "<local time as %Y-%m-%d.%X> - <message>" to standard output and
// the same line to the system log at LOG_INFO. `message` is written as it
// is (it is not a format); callers that need a newline include it.
// Safe to call from any number of threads at once: each line is whole.
void WriteLog(const char* message);

// Flushes standard output, so that its lines show at once, unless flushes
// were turned off with setStdoutFlushes(false). Thread-safe.
void flushStdout();

// Turns flushStdout on (the default) or off. The detached daemon turns it
// off once its standard output is /dev/null: there a flush shows nothing to
// anyone, yet costs a system call made while holding stdio's lock, and the
// listener and the connection threads then queue on that lock. Unflushed
// lines still go out, to /dev/null, whenever stdio's buffer fills.
void setStdoutFlushes(bool on);

// Formats the current local time as "%Y-%m-%d.%X" into `buf` (thread-safe).
// Returns `buf`.
char* formatLocalTimestamp(char* buf, unsigned long size);

// `text` with every control byte (below 0x20, and 0x7f) written as \xNN, so
// that client text placed in a log line cannot end it and forge lines of its
// own. Everything else, UTF-8 included, is kept as it is.
std::string escapeControlBytes(std::string_view text);
