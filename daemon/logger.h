// A small file logger beside the system log: appends "<timestamp>:\t<text>"
// lines to its own log file. Lines are buffered, not flushed per line: they
// reach the file when the buffer fills or the stream closes at exit.
#pragma once

#include <ostream>
#include <string>

class CLogger {
 public:
  // The single instance. The first call creates it and opens the log file
  // for appending; the directory is not created, and when the file cannot
  // be opened every later write is dropped silently. Thread-safe.
  static CLogger* GetLogger();

  // Writes one line with `message`.
  void Log(const std::string& message);
  // Formats printf-style into 1024 bytes (longer text is cut) and writes
  // one line with the result.
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes an empty line, then one line with `message`. Returns *this.
  CLogger& operator<<(const std::string& message);

  // Changes the log file path. Only before the first GetLogger call (tests
  // use it to log into their own directory); afterwards it has no effect.
  static void SetFileName(const std::string& path);

  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;

 private:
  CLogger() = default;
  void writeLine(const char* text);

  static std::string m_sFileName;
  static CLogger* m_pThis;
  static std::ostream m_Logfile;
};

namespace Util {
// The current local time as "%Y-%m-%d.%X" (thread-safe).
std::string CurrentDateTime();
}  // namespace Util

// Replaces every occurrence of `from` in `str` with `to`, scanning left to
// right and going on just after each inserted text (which is never searched
// again). An empty `from` leaves `str` unchanged.
void replaceAll(std::string& str, const std::string& from, const std::string& to);
