#include "daemon/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <string>

#include "daemon/safe_syslog.h"

namespace {
std::atomic<bool> gStdoutFlushes{true};
}  // namespace

void flushStdout() {
  if (gStdoutFlushes.load(std::memory_order_relaxed)) std::fflush(stdout);
}

void setStdoutFlushes(bool on) { gStdoutFlushes.store(on); }

char* formatLocalTimestamp(char* buf, unsigned long size) {
  time_t now = time(nullptr);
  struct tm local;
  // localtime_r: every thread gets its own broken-down time.
  if (localtime_r(&now, &local) == nullptr || strftime(buf, size, "%Y-%m-%d.%X", &local) == 0) {
    if (size > 0) buf[0] = '\0';
  }
  return buf;
}

void WriteLog(const char* message) {
  char timestamp[512];
  formatLocalTimestamp(timestamp, sizeof timestamp);
  // One call per output, so concurrent lines do not interleave.
  std::printf("%s - %s", timestamp, message);
  flushStdout();
  std::string line = timestamp;
  line += " - ";
  line += message;
  syslogLine(LOG_INFO, line.c_str());
}

std::string escapeControlBytes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    } else {
      out += c;
    }
  }
  return out;
}
