// The daemon's timestamped log line.
#pragma once

#include <string>
#include <string_view>

// Writes "<local time as %Y-%m-%d.%X> - <message>" to standard output and
// the same line to the system log at LOG_INFO. `message` is written as it
// is (it is not a format); callers that need a newline include it.
// Safe to call from any number of threads at once: each line is whole.
void WriteLog(const char* message);

// Formats the current local time as "%Y-%m-%d.%X" into `buf` (thread-safe).
// Returns `buf`.
char* formatLocalTimestamp(char* buf, unsigned long size);

// `text` with every control byte (below 0x20, and 0x7f) written as \xNN, so
// that client text placed in a log line cannot end it and forge lines of its
// own. Everything else, UTF-8 included, is kept as it is.
std::string escapeControlBytes(std::string_view text);
