#include "base/io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/error_text.h"
#include "base/unique_fd.h"

bool readFull(int fd, void* buf, size_t len) {
  char* p = static_cast<char*>(buf);
  while (len > 0) {
    ssize_t n = ::read(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool writeFull(int fd, const void* buf, size_t len) {
  const char* p = static_cast<const char*>(buf);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool readFile(const std::string& path, std::string* out) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | kOpenBaseFlags));
  if (!fd) return false;
  out->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
  }
}

bool readFromStart(int fd, std::string* out) {
  out->clear();
  char buf[8192];
  for (off_t at = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof buf, at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<size_t>(n));
    at += n;
  }
}

UniqueFd openRegularFile(const std::string& path, const char** why) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | kOpenBaseFlags));
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    *why = errorText(errno);
    return {};
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    return {};
  }
  ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
  return fd;
}

std::string writeFileBeside(const std::string& path, const std::string& text, mode_t mode) {
  static std::atomic<unsigned> counter{0};
  std::string fresh = path + ".new." + std::to_string(::getpid()) + "." +
                      std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
  UniqueFd fd(::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | kOpenBaseFlags, mode));
  if (!fd) return {};
  bool ok = writeFull(fd.get(), text);
  int err = errno;
  if (::close(fd.release()) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok) return fresh;
  ::unlink(fresh.c_str());
  errno = err;
  return {};
}

bool replaceFileAtomically(const std::string& path, const std::string& text, mode_t mode) {
  std::string fresh = writeFileBeside(path, text, mode);
  if (fresh.empty()) return false;
  if (::rename(fresh.c_str(), path.c_str()) == 0) return true;
  int err = errno;
  ::unlink(fresh.c_str());
  errno = err;
  return false;
}
