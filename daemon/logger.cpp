#include "daemon/logger.h"

#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

#include "base/log.h"
#include "base/unique_fd.h"

namespace {

// The buffer behind m_Logfile. Declared before it, so it is destroyed after
// it (and flushed then, closing the file). A stdio_filebuf because it can
// take a descriptor opened close-on-exec, which std::ofstream cannot.
std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> gLogBuffer;
std::once_flag gCreateOnce;
// One line at a time: the stream is shared by every thread.
std::mutex gWriteMutex;

}  // namespace

std::string CLogger::m_sFileName = "/var/log/tundrafox/daemon.log";
CLogger* CLogger::m_pThis = nullptr;
// No buffer until the first GetLogger: writes fail silently until then.
std::ostream CLogger::m_Logfile(nullptr);

CLogger* CLogger::GetLogger() {
  std::call_once(gCreateOnce, [] {
    m_pThis = new CLogger;
    // Never through a planted link, never blocked on a FIFO: only a regular
    // file is appended to.
    int fd = ::open(m_sFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | kOpenBaseFlags,
                    0666);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
      ::close(fd);
      fd = -1;
    }
    if (fd >= 0) {
      // The filebuf owns fd from here on.
      gLogBuffer = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out | std::ios::app);
      m_Logfile.rdbuf(gLogBuffer.get());
    }
  });
  return m_pThis;
}

void CLogger::SetFileName(const std::string& path) {
  if (m_pThis == nullptr) m_sFileName = path;
}

void CLogger::writeLine(const char* text) {
  std::string stamp = Util::CurrentDateTime();
  std::lock_guard<std::mutex> lock(gWriteMutex);
  m_Logfile << stamp << ":\t" << text << '\n';
}

void CLogger::Log(const std::string& message) { writeLine(message.c_str()); }

void CLogger::Log(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  writeLine(text);
}

CLogger& CLogger::operator<<(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(gWriteMutex);
    m_Logfile << '\n';
  }
  writeLine(message.c_str());
  return *this;
}

namespace Util {

std::string CurrentDateTime() {
  char buf[80];
  return formatLocalTimestamp(buf, sizeof buf);
}

}  // namespace Util

void replaceAll(std::string& str, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  size_t pos = 0;
  while ((pos = str.find(from, pos)) != std::string::npos) {
    str.replace(pos, from.size(), to);
    pos += to.size();
  }
}
