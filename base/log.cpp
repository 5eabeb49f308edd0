#include "base/log.h"

#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string>

#include "base/safe_syslog.h"

namespace {

std::atomic<bool> gStdoutFlushes{true};

void writeTo(std::FILE* stream, std::string_view text) {
  // One call per text, so concurrent lines do not interleave.
  std::fwrite(text.data(), 1, text.size(), stream);
  if (stream != stdout || gStdoutFlushes.load(std::memory_order_relaxed)) std::fflush(stream);
}

__attribute__((format(printf, 1, 0))) std::string vformat(const char* format, va_list ap) {
  char small[512];
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, ap);
  text.pop_back();
  return text;
}

}  // namespace

void progress(std::string_view text) { writeTo(stdout, text); }

void progressf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = vformat(format, ap);
  va_end(ap);
  progress(text);
}

void progressError(std::string_view text) { writeTo(stderr, text); }

void progressScript(std::string_view scriptText) {
  std::string text;
  text.reserve(2 * kBanner.size() + scriptText.size());
  text += kBanner;
  text += scriptText;
  text += kBanner;
  progress(text);
}

std::string shortenLogLine(std::string_view line) {
  if (line.size() <= kMaxLogLineBytes) return std::string(line);
  const bool newline = line.back() == '\n';
  std::string marker = "...[cut: " + std::to_string(line.size()) + " bytes in all]";
  if (newline) marker += '\n';
  size_t keep = kMaxLogLineBytes - marker.size();
  // Back to the start of a UTF-8 character (continuation bytes are 10xxxxxx).
  while (keep > 0 && (static_cast<unsigned char>(line[keep]) & 0xC0) == 0x80) --keep;
  return std::string(line.substr(0, keep)) + marker;
}

void logAt(int priority, std::string_view line) { syslogLine(priority, shortenLogLine(line).c_str()); }

void logInfo(std::string_view line) { logAt(LOG_INFO, line); }

void logInfof(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = vformat(format, ap);
  va_end(ap);
  logInfo(text);
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
  std::string line = timestamp;
  line += " - ";
  line += message;
  progress(line);
  logInfo(line);
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
